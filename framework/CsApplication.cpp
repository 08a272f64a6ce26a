#include "CsApplication.h"

#include <cstdio>

#include "client_server.h"

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
    if (client_server_state() != CS_LIBRARY_READY)
        return -1;
    return client_server_main_loop();
}

void CsApplication::stop()
{
    if (client_server_state() == CS_LIBRARY_READY)
        client_server_stop();
}

int CsApplication::status()
{
    switch (client_server_state()) {
    case CS_LIBRARY_DOWN:
        return -1;
    case CS_LIBRARY_READY:
        return 0;
    default:
        return -2;
    }
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

// The first object of the process initialises the library; a failure stays
// in the library's state and is never retried.
void CsApplication::initLibrary()
{
    if (client_server_state() == CS_LIBRARY_DOWN)
        client_server_init();
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
