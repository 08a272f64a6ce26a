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

// The library removes the first watch of a descriptor and kind, whoever
// registered it; so an object that holds no watch of its own removes none,
// or it would silence another object's watch on the same descriptor.
void CsExternal::detach()
{
    if (watchHandle == -1)
        return;
    client_server_remove_input(watchType, descriptor);
    watchHandle = -1;
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
