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
// The object is polled from the terminal's tick. It never blocks and keeps
// no file open between calls, so every call sees the files as they are now
// (a missing directory or file simply reads as "nothing there" until it
// appears).
#ifndef QUORVANE_APP_FILESHARE_H
#define QUORVANE_APP_FILESHARE_H

#include <cstddef>
#include <string>
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
    // with null bytes, -3 when the file cannot be had or written.
    int appendRecords(const char* records, size_t length);

    // Truncates the written file to one empty record (a single line feed).
    void resetOutput();
    // Moves the read position to the current end of the read file.
    void skipExisting();

    bool inputExists() const;  // a read path is set and its status can be read
    bool canWrite() const;     // a write path is set
    int inputSize() const;     // bytes in the read file, -1 when unreadable
    int outputSize() const;    // bytes in the written file, -1 when unreadable

private:
    // Decodes the hexadecimal text in buffer in place; returns the byte count.
    int decodeHex(char* buffer, int size);

    long readPos;           // offset in the read file where the next record starts
    char* readPath;         // owned copy, null when none
    char* writePath;        // owned copy, null when none
    int hexMode;            // records are hexadecimal text
    int moreInput;          // the last read stopped before the end of the file
    char carryDigit;        // odd digit left over by the previous record, 0 when none
    struct stat lastStat;   // read file after the last read; only st_size is used
};

#endif
