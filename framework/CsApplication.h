// Root of every event-driven object of the framework.
//
// Each object has an owner, whose callback receives the object's events
// with the object's sender pointer, so that an owner tells its children
// apart by comparing pointers. The first object constructed initialises the
// communication library; the class-wide run/stop drive its one main loop.
// Everything happens on the main loop's thread: no locking anywhere.
//
// Event protocol: a child builds a heap CsEventMsg (or none, for timer
// ticks) and calls deliver(). The owner's callback returns 0 when it handled
// the event, nonzero when it did not know the sender; the event then goes to
// the sender's own callback, whose default prints
// "CsApplication catch unprocessed class callback!\n". The message is always
// destroyed by deliver(): a callback that needs the contents later copies
// them.
#ifndef QUORVANE_CS_APPLICATION_H
#define QUORVANE_CS_APPLICATION_H

#include <memory>

#include "CsEventMsg.h"

class CsApplication
{
public:
    // Top-level object: no owner, no sender.
    CsApplication();
    // Framework subclasses pass their creator as owner and themselves as
    // sender.
    CsApplication(CsApplication *owner, CsApplication *sender);
    // Leaves the library as it is: a ready library keeps running, and one
    // whose initialisation failed is not touched again.
    virtual ~CsApplication();

    CsApplication(const CsApplication &) = delete;
    CsApplication &operator=(const CsApplication &) = delete;

    // Receives the events of the objects this one owns. msg is null for
    // timer ticks and valid only during the call. Returns 0 when handled,
    // nonzero when not. The default prints the unprocessed-callback line
    // and returns 0.
    virtual int callback(CsApplication *sender, const CsEventMsg *msg);

    // Runs the library's main loop when the library is ready and returns its
    // result (0 after stop(), -1 when select failed); -1 at once otherwise.
    // The loop runs once per process: after it has been stopped a later run
    // returns 0 at once.
    static int run();
    // Asks the main loop to return after its current pass; nothing when the
    // library is not ready.
    static void stop();
    // -1: library not initialised yet, 0: ready, -2: initialisation failed.
    static int status();

    CsApplication *getOwner() const { return owner; }
    CsApplication *getSender() const { return sender; }

protected:
    // Hands an event to the owner and destroys msg afterwards (msg may be
    // null). Returns 1 when there was an owner, 0 when there was none.
    // The owner may destroy this object from its callback: after deliver
    // returns, a caller that cannot rule that out touches no member.
    int deliver(std::unique_ptr<CsEventMsg> msg);

    // Lets a handler learn whether its object survived a call that may have
    // destroyed it (an owner may delete a child from its callback). Lives on
    // the handler's stack; guards of nested handlers of one object are all
    // told.
    //
    //     LifeGuard guard(this);
    //     deliver(...);
    //     if (!guard.alive()) return;
    class LifeGuard
    {
    public:
        explicit LifeGuard(CsApplication *object);
        ~LifeGuard();
        LifeGuard(const LifeGuard &) = delete;
        LifeGuard &operator=(const LifeGuard &) = delete;
        bool alive() const { return object != nullptr; }

    private:
        friend class CsApplication;
        CsApplication *object; // null once the object is destroyed
        LifeGuard *outer;      // guard of an enclosing handler of the same object
    };

private:
    static void initLibrary();

    CsApplication *owner;  // receives this object's events; may be null
    CsApplication *sender; // identity handed to the owner with each event
    LifeGuard *guards = nullptr; // innermost live guard; told by the destructor
};

#endif
