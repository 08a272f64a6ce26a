#include "CiFrame.h"

#include <cstring>

CiFrame::CiFrame(const unsigned char *payload, int length)
{
    bytes.reserve(static_cast<size_t>(length) + 3);
    bytes.push_back(PREAMBLE);
    bytes.push_back(PREAMBLE);
    bytes.insert(bytes.end(), payload, payload + length);
    bytes.push_back(END);
}

CiFrame::~CiFrame() = default;

bool CiFrame::isEcho(const unsigned char *read, int count) const
{
    return read && getLength() - 1 == count && memcmp(bytes.data(), read, static_cast<size_t>(count)) == 0;
}
