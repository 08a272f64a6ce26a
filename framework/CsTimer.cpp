#include "CsTimer.h"

#include "client_server.h"

CsTimer::CsTimer(CsApplication *owner, int periodMs, int count)
    : CsApplication(owner, this), timerHandle(-1), remaining(count > 0 ? count : 0)
{
    start(periodMs);
}

CsTimer::~CsTimer()
{
    if (timerHandle != -1)
        client_server_remove_timer(timerHandle);
}

void CsTimer::onTimer()
{
}

// A second library timer left running would keep firing into this object
// after the destructor cancelled only the newer one.
void CsTimer::start(int periodMs)
{
    if (timerHandle != -1)
        client_server_remove_timer(timerHandle);
    timerHandle = client_server_add_timer(periodMs, remaining == 0 ? endlessHandler : countedHandler, this);
}

// The owner's callback or onTimer() may destroy the timer; the guard tells
// the handler not to touch it then, and a nonzero result ends the library
// timer that the destructor has cancelled anyway.
int CsTimer::endlessHandler(void *object)
{
    CsTimer *timer = static_cast<CsTimer *>(object);
    LifeGuard guard(timer);
    timer->fire();
    return guard.alive() ? 0 : 1;
}

int CsTimer::countedHandler(void *object)
{
    CsTimer *timer = static_cast<CsTimer *>(object);
    LifeGuard guard(timer);
    timer->fire();
    if (!guard.alive())
        return 1;
    if (timer->remaining != 0)
        --timer->remaining;
    if (timer->remaining != 0)
        return 0;
    // The destructor cancels the library timer; the nonzero result ends it
    // in the library as well.
    delete timer;
    return 1;
}

void CsTimer::fire()
{
    if (deliver(nullptr) == 0)
        onTimer();
}
