// A descriptor watch for readability: the base of the console reader and of
// the serial-line objects, which override onReady() to read.
#ifndef QUORVANE_CS_EXTERNAL_READ_H
#define QUORVANE_CS_EXTERNAL_READ_H

#include "CsExternal.h"

class CsExternalRead : public CsExternal
{
public:
    CsExternalRead(CsApplication *owner, int descriptor, int verbose);
    ~CsExternalRead() override;

    // Does nothing; subclasses read here.
    void onReady() override;
};

#endif
