// The library's wire format built by hand, and payloads of known content.
#ifndef QUORVANE_TESTS_WIRE_H
#define QUORVANE_TESTS_WIRE_H

#include <string>

namespace kit {

// Four bytes of a big-endian 32-bit integer, and the integer read back.
inline std::string wireInt(int value)
{
    const unsigned v = static_cast<unsigned>(value);
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}
inline int wireInt(const std::string &bytes, size_t offset)
{
    unsigned v = 0;
    for (size_t i = 0; i < 4; i++)
        v = (v << 8) | static_cast<unsigned char>(bytes.at(offset + i));
    return static_cast<int>(v);
}

// A header with the announced length, and a whole framed message.
inline std::string wireHeader(int msgType, int announcedLength)
{
    return wireInt(msgType) + wireInt(announcedLength);
}
inline std::string wireFrame(int msgType, const std::string &payload)
{
    return wireHeader(msgType, static_cast<int>(payload.size())) + payload;
}

// A payload of length bytes whose content depends on seed.
inline std::string pattern(int length, int seed)
{
    std::string out(static_cast<size_t>(length), '\0');
    unsigned x = static_cast<unsigned>(seed) * 2654435761u + 1;
    for (char &c : out) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return out;
}

} // namespace kit

#endif
