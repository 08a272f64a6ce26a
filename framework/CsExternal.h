// An application object that watches one file descriptor through the
// library's external-input watches and runs its virtual onReady() each time
// the main loop finds the descriptor ready.
//
// Class-wide verbose flag: every constructor overwrites it with its own
// verbose argument, so the most recently constructed watch decides whether
// registration failures are reported ("Can't add external input, type %d,
// desc %d\n" on standard output), for every watch.
#ifndef QUORVANE_CS_EXTERNAL_H
#define QUORVANE_CS_EXTERNAL_H

#include "CsApplication.h"

class CsExternal : public CsApplication
{
public:
    // Watch kinds, as the library numbers them.
    enum {
        WATCH_READABLE = 1,   // descriptor readable
        WATCH_WRITABLE = 2,   // descriptor writable
        WATCH_EXCEPTIONAL = 3 // exceptional condition (out-of-band data)
    };

    // Registers the watch at once when descriptor is 0 or more; a negative
    // descriptor waits for attach(). A refused registration leaves the object
    // alive but never ready.
    CsExternal(CsApplication *owner, int watchType, int descriptor, int verbose);
    // Withdraws the watch if this object holds one.
    ~CsExternal() override;

    // Called from the main loop when the descriptor is ready. Must not block:
    // read what is there and return. The default does nothing.
    virtual void onReady();

    // For a device opened after construction: when no descriptor is set
    // yet, takes this one and registers the watch; otherwise does nothing.
    void attach(int descriptor);

    int getDescriptor() const { return descriptor; }   // negative when none
    int getWatchType() const { return watchType; }
    int getWatchHandle() const { return watchHandle; } // -1 when not registered
    static int getVerbose() { return externalVerbose; }

protected:
    // Withdraws the watch now (for a descriptor that can never be ready in a
    // useful way again, such as an input at its end). The descriptor stays
    // set, so attach() does not register it again.
    void detach();
    // Registers the watch again after detach(), for a descriptor that is of
    // interest only at times (output waiting for room). Does nothing while a
    // watch is held or without a descriptor.
    void reattach();

private:
    void registerWatch();
    static int readyHandler(int descriptor, void *object);

    int descriptor;  // watched descriptor; negative when none yet
    int watchType;   // kind of watch handed to the library
    int watchHandle; // result of the registration; -1 when not registered

    static int externalVerbose; // report refused registrations (initially 1)
};

#endif
