// FrameSplitter: cuts one block of received bytes into frames that end at
// each 0xFD byte (the end-of-frame byte of the radio bus), for the hex-mode
// frame split of the terminal object.
#ifndef QUORVANE_APP_FRAME_SPLITTER_H
#define QUORVANE_APP_FRAME_SPLITTER_H

#include <memory>

class FrameSplitter {
public:
    // Takes a private copy of the block; none when data is null or length
    // is not positive.
    FrameSplitter(const char* data, int length);
    virtual ~FrameSplitter();

    FrameSplitter(const FrameSplitter&) = delete;
    FrameSplitter& operator=(const FrameSplitter&) = delete;

    // Whether bytes are left to take.
    bool hasMore() const;

    // Copies the next frame into buffer: bytes up to a 0xFD byte (consumed,
    // not copied), the end of the block, or `capacity` bytes copied, whichever
    // comes first; a longer frame continues with the next call. Returns the
    // number of bytes copied: 0 for the empty frame between two 0xFD bytes,
    // or when nothing is left or buffer is null.
    int next(char* buffer, int capacity);

private:
    int readPos;                    // index of the next byte to take
    std::unique_ptr<char[]> copy;   // private copy of the block; null when empty
    int size;                       // bytes in the copy
};

#endif
