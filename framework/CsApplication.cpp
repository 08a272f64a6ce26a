#include "CsApplication.h"

#include <cstdio>

#include "client_server.h"

int CsApplication::libraryStatus = -1;

CsApplication::CsApplication() : owner(nullptr), sender(nullptr)
{
    initLibrary();
}

CsApplication::CsApplication(CsApplication *owner, CsApplication *sender)
    : owner(owner), sender(sender)
{
    initLibrary();
}

// A library whose initialisation failed is left alone: shutting it down
// would only matter to a program that initialises again, and the framework
// never retries.
CsApplication::~CsApplication()
{
    for (LifeGuard *guard = guards; guard != nullptr; guard = guard->outer)
        guard->object = nullptr;
}

int CsApplication::callback(CsApplication *, const CsEventMsg *)
{
    printf("CsApplication catch unprocessed class callback!\n");
    return 0;
}

int CsApplication::run()
{
    if (libraryStatus != 0)
        return -1;
    return client_server_main_loop();
}

void CsApplication::stop()
{
    if (libraryStatus == 0)
        client_server_stop();
}

int CsApplication::status()
{
    return libraryStatus;
}

int CsApplication::deliver(std::unique_ptr<CsEventMsg> msg)
{
    if (owner == nullptr)
        return 0;
    LifeGuard guard(this);
    if (owner->callback(sender, msg.get()) != 0 && guard.alive())
        callback(sender, msg.get());
    return 1;
}

// The first object of the process initialises the library; a failure is
// recorded for good and never retried.
void CsApplication::initLibrary()
{
    if (libraryStatus != -1)
        return;
    libraryStatus = client_server_init() == 0 ? 0 : -2;
}

CsApplication::LifeGuard::LifeGuard(CsApplication *object) : object(object), outer(object->guards)
{
    object->guards = this;
}

CsApplication::LifeGuard::~LifeGuard()
{
    if (object != nullptr)
        object->guards = outer;
}
