#include "CsExternal.h"

#include <cstdio>

#include "client_server.h"

int CsExternal::externalVerbose = 1;

CsExternal::CsExternal(CsApplication *owner, int watchType, int descriptor, int verbose)
    : CsApplication(owner, this), descriptor(descriptor), watchType(watchType), watchHandle(-1)
{
    externalVerbose = verbose;
    registerWatch();
}

CsExternal::~CsExternal()
{
    detach();
}

void CsExternal::onReady()
{
}

void CsExternal::attach(int newDescriptor)
{
    if (descriptor >= 0)
        return;
    descriptor = newDescriptor;
    registerWatch();
}

// Withdrawn by its handle: a removal by descriptor and kind takes the first
// such watch, whoever registered it, and another object may watch the same
// descriptor. An object that holds no watch of its own removes none.
void CsExternal::detach()
{
    if (watchHandle == -1)
        return;
    client_server_remove_watch(watchHandle);
    watchHandle = -1;
}

void CsExternal::reattach()
{
    if (watchHandle == -1)
        registerWatch();
}

void CsExternal::registerWatch()
{
    if (descriptor < 0)
        return;
    watchHandle = client_server_add_input(watchType, descriptor, readyHandler, this);
    if (externalVerbose && watchHandle == -1)
        printf("Can't add external input, type %d, desc %d\n", watchType, descriptor);
}

int CsExternal::readyHandler(int, void *object)
{
    static_cast<CsExternal *>(object)->onReady();
    return 0;
}
