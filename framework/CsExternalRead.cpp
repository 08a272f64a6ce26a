#include "CsExternalRead.h"

CsExternalRead::CsExternalRead(CsApplication *owner, int descriptor, int verbose)
    : CsExternal(owner, WATCH_READABLE, descriptor, verbose)
{
}

CsExternalRead::~CsExternalRead() = default;

void CsExternalRead::onReady()
{
}
