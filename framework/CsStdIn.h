// Console input: a read watch on descriptor 0 that hands what one read
// returns to its owner as a plain data message (type and handle -1).
//
// With a terminal in line mode one read is one typed line, newline
// included; a line longer than bufferSize arrives as several messages, so
// owners must not rely on one message being one line.
//
// Where end of input lasts (standard input is not a terminal, or the
// terminal hung up) and on a read error other than an interruption or an
// empty non-blocking read, the watch is withdrawn: such an input would
// otherwise be reported readable on every pass and keep the process busy.
// The rest of the program runs on; no event is delivered. End of input typed
// at a terminal (Ctrl-D on an empty line) delivers nothing and keeps the
// watch: the terminal goes on working after it.
#ifndef QUORVANE_CS_STD_IN_H
#define QUORVANE_CS_STD_IN_H

#include "CsExternalRead.h"

class CsStdIn : public CsExternalRead
{
public:
    // keepNewline nonzero: deliver every byte read; zero: drop the last byte
    // of each read (the newline of a complete line). bufferSize is the most
    // bytes one read takes; 0 (or below) disables reading, and then no
    // watch is kept.
    CsStdIn(CsApplication *owner, int keepNewline, int bufferSize, int verbose);
    ~CsStdIn() override;

    // One read, one message to the owner.
    void onReady() override;

    int getBufferSize() const { return bufferSize; }
    int getKeepNewline() const { return keepNewline; }

private:
    int bufferSize;  // most bytes taken by one read; 0 disables reading
    int keepNewline; // nonzero: keep the last byte read
};

#endif
