#include "RadioCommand.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

// The value of the three leading digits, or 0 when any of them is not a
// decimal digit (so "000" and "1a0" look alike to the caller).
int decodeCode(const unsigned char *text)
{
    int value = 0;
    for (int i = 0; i < 3; i++) {
        if (text[i] < '0' || text[i] > '9')
            return 0;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

} // namespace

RadioCommand::RadioCommand(int minCode, int maxCode)
{
    init(minCode, maxCode);
}

RadioCommand::~RadioCommand() = default;

void RadioCommand::init(int minCodeValue, int maxCodeValue)
{
    if (minCodeValue == maxCodeValue) {
        minCodeValue = 0;
        maxCodeValue = 0;
    }
    minCode = minCodeValue;
    maxCode = maxCodeValue;
    parsedCode = 0;
    inText.reset();
    inLength = 0;
    outText.reset();
    outLength = 0;
}

int RadioCommand::parse(const void *bytes, int length)
{
    inText.reset();
    parsedCode = 0;
    inLength = 0;

    if (!bytes)
        return PARSE_NULL;
    if (length <= 2)
        return PARSE_SHORT;
    const unsigned char *in = static_cast<const unsigned char *>(bytes);
    int value = decodeCode(in);
    if (value == 0)
        return PARSE_NOT_DIGITS;
    if (minCode != 0 && maxCode != 0) {
        if (value < minCode)
            return PARSE_BELOW_RANGE;
        if (value > maxCode)
            return PARSE_ABOVE_RANGE;
    }

    // size_t arithmetic: length + 1 must not overflow int for the largest
    // messages a caller can hand over.
    std::unique_ptr<unsigned char[]> copy(new (std::nothrow) unsigned char[static_cast<size_t>(length) + 1]);
    if (!copy)
        return PARSE_NO_MEMORY;
    memcpy(copy.get(), in, static_cast<size_t>(length));
    copy[static_cast<size_t>(length)] = 0;

    inText = std::move(copy);
    inLength = length;
    parsedCode = value;
    return 0;
}

int RadioCommand::code() const
{
    return inText ? parsedCode : 0;
}

int RadioCommand::payloadLength() const
{
    return inText ? inLength - 3 : 0;
}

const unsigned char *RadioCommand::payload() const
{
    return payloadLength() > 0 ? inText.get() + 3 : nullptr;
}

bool RadioCommand::isBare(int wanted) const
{
    return code() == wanted && payloadLength() == 0;
}

bool RadioCommand::isRaw() const
{
    return code() == RAW && payloadLength() > 0;
}

bool RadioCommand::isPowerOn() const
{
    return isBare(POWER_ON);
}

bool RadioCommand::isPowerOff() const
{
    return isBare(POWER_OFF);
}

bool RadioCommand::isRtsOn() const
{
    return isBare(RTS_ON);
}

bool RadioCommand::isRtsOff() const
{
    return isBare(RTS_OFF);
}

int RadioCommand::build(int codeValue, const void *bytes, int length)
{
    outText.reset();
    outLength = 0;

    if (codeValue < minCode || codeValue > maxCode)
        return -1;
    // Only codes of three digits fit the fixed-width field of the text.
    if (codeValue < 0 || codeValue > 999)
        return -1;
    // A negative length or a missing source would make the copy below read
    // memory that was never handed over.
    if (length < 0 || (length > 0 && !bytes))
        return -1;

    size_t total = static_cast<size_t>(length) + 3;
    std::unique_ptr<char[]> text(new (std::nothrow) char[total + 1]);
    if (!text)
        return -1;
    char digits[16];
    snprintf(digits, sizeof digits, "%03d", codeValue);
    memcpy(text.get(), digits, 3);
    if (length > 0)
        memcpy(text.get() + 3, bytes, static_cast<size_t>(length));
    text[total] = 0;

    outText = std::move(text);
    outLength = length + 3;
    return 0;
}

const char *RadioCommand::text() const
{
    return outText && outLength != 0 ? outText.get() : nullptr;
}

int RadioCommand::textLength() const
{
    return outText && outLength != 0 ? outLength : 0;
}

int RadioCommand::buildRaw(const void *bytes, int length)
{
    if (!bytes || length == 0)
        return -1;
    return build(RAW, bytes, length);
}

int RadioCommand::buildPowerOn()
{
    return build(POWER_ON, nullptr, 0);
}

int RadioCommand::buildLevel(int value)
{
    if (value < 0 || value > 100)
        return -1;
    // Three digits and the 0 that snprintf always adds.
    char digits[4];
    snprintf(digits, sizeof digits, "%03d", value);
    return build(LEVEL, digits, 3);
}
