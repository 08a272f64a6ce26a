// One frame queued for the CI-V bus, complete as it goes on the wire:
// 0xFE 0xFE, the caller's payload unchanged, 0xFD. Copies are independent.
#ifndef QUORVANE_CIFRAME_H
#define QUORVANE_CIFRAME_H

#include <vector>

class CiFrame {
public:
    static constexpr unsigned char PREAMBLE = 0xFE;  // first two bytes of every frame
    static constexpr unsigned char END = 0xFD;       // last byte of every frame

    // The frame around length payload bytes (length >= 1).
    CiFrame(const unsigned char *payload, int length);
    virtual ~CiFrame();
    CiFrame(const CiFrame&) = default;
    CiFrame& operator=(const CiFrame&) = default;

    const unsigned char *getBytes() const { return bytes.data(); }
    int getLength() const { return static_cast<int>(bytes.size()); } // payload length + 3

    // True when count bytes read back from the line are this frame without
    // its end byte, which the line takes away.
    bool isEcho(const unsigned char *read, int count) const;

private:
    std::vector<unsigned char> bytes; // the whole frame, preamble and end byte included
};

#endif
