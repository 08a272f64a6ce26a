// A periodic timer that reports each expiry to its owner as an event
// without message: callback(sender = the timer, msg = null). A timer
// without owner calls its own onTimer() instead.
//
// Expiries follow the library's schedule (previous expiry plus period), so
// a slow handler does not shift later ticks.
//
// count 0 makes an endless timer, which runs until it is destroyed. A
// counted timer (count above 0) destroys itself after its last firing: it
// must have been created with new, and its owner must neither use nor
// delete the pointer after the last tick. The owner may delete a timer from
// its callback at any firing.
#ifndef QUORVANE_CS_TIMER_H
#define QUORVANE_CS_TIMER_H

#include "CsApplication.h"

class CsTimer : public CsApplication
{
public:
    // Starts at once: the first tick comes periodMs milliseconds from now.
    // A negative count is taken as 0 (endless).
    CsTimer(CsApplication *owner, int periodMs, int count);
    // Cancels the library timer: no tick reaches this object afterwards.
    ~CsTimer() override;

    // Called on each expiry when the timer has no owner. Default: nothing.
    virtual void onTimer();

    // Registers the library timer with this period, replacing (cancelling)
    // one that runs already.
    void start(int periodMs);

    int getTimerHandle() const { return timerHandle; } // -1 when not running
    int getRemaining() const { return remaining; }     // firings left; 0 endless

private:
    static int endlessHandler(void *object);
    static int countedHandler(void *object);
    void fire();

    int timerHandle; // library timer handle; -1 before start or when refused
    int remaining;   // firings left; 0 means endless
};

#endif
