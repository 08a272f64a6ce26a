#include "CsEventMsg.h"

#include <cstring>
#include <utility>

CsEventMsg::CsEventMsg(const void *data, int length, int type, int handle)
    : length(0), type(type), handle(handle)
{
    store(static_cast<const char *>(data), length);
}

CsEventMsg::CsEventMsg(const CsEventMsg &other)
    : length(0), type(other.type), handle(other.handle)
{
    store(other.data.get(), other.length);
}

CsEventMsg &CsEventMsg::operator=(const CsEventMsg &other)
{
    if (this != &other) {
        // Copy first, so that a failed allocation leaves the target intact.
        CsEventMsg copy(other);
        *this = std::move(copy);
    }
    return *this;
}

CsEventMsg::CsEventMsg(CsEventMsg &&other) noexcept
    : data(std::move(other.data)), length(other.length), type(other.type), handle(other.handle)
{
    other.length = 0;
}

CsEventMsg &CsEventMsg::operator=(CsEventMsg &&other) noexcept
{
    if (this != &other) {
        data = std::move(other.data);
        length = other.length;
        type = other.type;
        handle = other.handle;
        other.length = 0;
    }
    return *this;
}

CsEventMsg::~CsEventMsg() = default;

const char *CsEventMsg::getData() const
{
    return data.get();
}

int CsEventMsg::getLength() const
{
    return length;
}

int CsEventMsg::getType() const
{
    return type;
}

int CsEventMsg::getHandle() const
{
    return handle;
}

// A negative count or a missing source would have the copy read outside
// any buffer; both are taken as an empty payload.
void CsEventMsg::store(const char *source, int count)
{
    if (count <= 0 || source == nullptr) {
        data.reset();
        length = 0;
        return;
    }
    // Not value-initialised: every byte is written just below, and received
    // blocks pass through here at full stream speed.
    data.reset(new char[static_cast<size_t>(count) + 1]);
    memcpy(data.get(), source, static_cast<size_t>(count));
    data[static_cast<size_t>(count)] = '\0';
    length = count;
}
