// FileShare: the two plain files through which an operator program on the
// same machine drives the server connection.
//
//   term.out  appended by the operator program, read here; every record read
//             is sent to the server.
//   term.in   appended here with what the server said; read by the operator
//             program.
//
// Record formats, the same in both files:
//   text mode  one record per line feed (0x0A); inside a record 0x01 stands
//              for a line feed of the data, and a NUL byte ends the data.
//   hex mode   every data byte as two hexadecimal digits, no separators,
//              then a line feed; digits of either case are read.
//
// The object is polled from the terminal's loop. It never blocks and keeps
// no file open between calls, so every call sees the files as they are now
// (a missing directory or file simply reads as "nothing there" until it
// appears). Only regular files are used: a FIFO, a device or a directory in
// place of term.out is reported once on standard error and read as nothing,
// one in place of term.in refuses the write (writeProblem() says why), and
// each is used again once it is a regular file. A term.out that is replaced
// (another file renamed over it, or one that shrank) is read from its start.
#ifndef QUORVANE_APP_FILESHARE_H
#define QUORVANE_APP_FILESHARE_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>
#include <sys/stat.h>

class FileShare {
public:
    // readPath: file read (term.out), writePath: file written (term.in);
    // either may be null. skip: start reading at the current end of the read
    // file, so that records already there are never sent. reset: truncate the
    // written file to one empty record; with reset 0 that happens only when
    // the file is missing or empty.
    FileShare(const char* readPath, const char* writePath, int hexMode, int skip, int reset);
    virtual ~FileShare();

    FileShare(const FileShare&) = delete;
    FileShare& operator=(const FileShare&) = delete;

    // Whether readLine may find something. Also notices a read file that has
    // shrunk (truncated or recreated by the operator program): reading then
    // restarts at offset 0 from the next call on, and this call says false.
    bool hasInput();

    // Reads the next record, at most size - 1 characters of the file per call,
    // into buffer and decodes it in place. Returns the number of data bytes
    // (buffer holds them followed by a NUL), 0 when nothing was read.
    int readLine(char* buffer, int size);

    // What takeRecords offers: one record, or one piece of a long one,
    // decoded (data is followed by a NUL; length 0 for an empty record).
    // True when the record was taken: the read position moves past it. False
    // leaves it in the file and ends the call; it is offered again next time.
    using Take = std::function<bool(const char* data, int length)>;
    // Offers the records after the read position to take, in order, through
    // one open of the file, until take refuses one or the file's end (as it
    // was at the open). A record longer than pieceChars characters comes in
    // pieces of that many. Returns the number of records taken.
    size_t takeRecords(const Take& take, int pieceChars = kPieceChars);
    static constexpr int kPieceChars = 255;

    // The digits of hex records, which the dumps show bytes with as well.
    static constexpr char kHexDigits[] = "0123456789abcdef";
    // An owned copy (released with free), null for null: the paths and
    // texts that the terminal's objects keep.
    static char* copyText(const char* text);

    // Records and bytes in the read file after the read position: what has
    // not been taken yet. Both 0 when the file cannot be read.
    void unread(size_t& records, size_t& bytes);

    // The data of one whole record as encodeRecord wrote it (without its line
    // feed), as the operator program reads it back.
    std::string decodeRecord(const char* record, size_t length) const;

    // Appends one record of length bytes. 0 on success, -1 without a write
    // path or with null data, -2 when length is not positive, -3 when memory
    // or the file cannot be had. In text mode the data ends at its first NUL
    // byte (or after length bytes).
    int writeLine(const char* data, int length);

    // Adds one record of length bytes, encoded as writeLine writes it and
    // with its line feed, to the end of `records`; nothing for null data or a
    // length below 1.
    void encodeRecord(std::string& records, const char* data, int length) const;

    // Adds one record per line of `text` (each line ends just after its line
    // feed; the last may end without one), as encodeRecord would add them one
    // by one; returns the number of records added. In text mode the text ends
    // at its first NUL byte (or after length bytes).
    size_t encodeLines(std::string& records, const char* text, size_t length) const;

    // Appends bytes that are whole encoded records (encodeRecord) through one
    // open of the file, in one write unless the system takes less (the rest
    // follows). 0 on success, also for no bytes; -1 without a write path or
    // with null bytes, -3 when the file cannot be had or written. A write that
    // fails part way never leaves a cut record: the file is taken back to the
    // end of the last whole record written. written (when not null) gets the
    // bytes of the whole records that are in the file (all of them on
    // success); writeProblem() tells why a write failed.
    int appendRecords(const char* records, size_t length, size_t* written = nullptr);
    // Why the latest write of the written file failed ("" after a success):
    // the system's error text, or what the path is when it is no regular file.
    const std::string& writeProblem() const { return writeError; }
    const char* outputPath() const { return writePath; }

    // Truncates the written file to one empty record (a single line feed);
    // nothing when it cannot be written (writeProblem() says why).
    void resetOutput();
    // Moves the read position to the current end of the read file.
    void skipExisting();

    // Whether the files may be used now; with no gate they always may. While
    // the gate says no (why tells the reason), nothing is read and every
    // write fails with that reason as writeProblem(), as for a missing file.
    // A terminal whose directory did not exist at start waits so for the
    // directory's lock.
    using Gate = std::function<bool(std::string& why)>;
    void setGate(Gate gate) { filesGate = std::move(gate); }

    bool inputExists() const;  // a read path is set and its status can be read
    bool canWrite() const;     // a write path is set
    int inputSize() const;     // bytes in the read file, -1 when unreadable
    int outputSize() const;    // bytes in the written file, -1 when unreadable

private:
    // Decodes the hexadecimal text in buffer in place, joining carry (a digit
    // left by the previous piece, 0 for none) in front and leaving an odd last
    // digit there; returns the byte count.
    static int decodeHex(char* buffer, int size, char& carry);
    // Opens the read file (regular files only); -1 when it cannot be read.
    int openInput(struct stat& st);
    // Whether st is a regular file; reports one that is not, once until the
    // path is a regular file (or missing) again.
    bool regularInput(const struct stat& st);
    bool sameFile(const struct stat& st) const;

    long readPos;           // offset in the read file where the next record starts
    char* readPath;         // owned copy, null when none
    char* writePath;        // owned copy, null when none
    int hexMode;            // records are hexadecimal text
    int moreInput;          // the last read stopped before the end of the file
    char carryDigit;        // odd digit left over by the previous record, 0 when none
    struct stat lastStat;   // read file after the last read: its size and identity
    int reportedKind;       // file type of a non-regular read file reported, 0 when none
    std::string writeError; // why the latest write failed, "" after a success
    std::vector<char> readChunk; // term.out bytes read by takeRecords, kept between calls
    Gate filesGate;         // whether the files may be used now; empty: always
};

#endif
