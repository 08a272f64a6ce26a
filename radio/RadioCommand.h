// Radio command messages: the short texts that the IC-706 objects exchange
// with their owner.
//
// A message is three ASCII decimal digits (the code) followed by zero or more
// payload bytes of any value; its length counts the digits. Built texts carry
// a terminating 0 byte that is not counted, so a payload-free message is also
// a C string. Each use takes a fresh local RadioCommand: parse one incoming
// message and ask what it is, or build one outgoing message and send a copy
// of text() / textLength().
#ifndef QUORVANE_RADIOCOMMAND_H
#define QUORVANE_RADIOCOMMAND_H

#include <memory>

class RadioCommand {
public:
    enum Code {
        RAW = 100,       // link bytes: to be written to a link, or frames read from one
        POWER_ON = 101,  // switch the radio on / a request to do so (no payload)
        POWER_OFF = 102, // switch the radio off (no payload)
        RTS_ON = 103,    // raise RTS on the radio's link (no payload)
        RTS_OFF = 104,   // drop RTS on the radio's link (no payload)
        LEVEL = 105,     // a value from 0 to 100 as three digits
        FIRST_CODE = 100, // lowest code in use; 106 and 107 parse and mean nothing
        LAST_CODE = 107   // highest code in use
    };

    // Parse results other than 0.
    enum ParseError {
        PARSE_NULL = -1,        // bytes is null
        PARSE_SHORT = -2,       // length is 2 or less
        PARSE_NOT_DIGITS = -3,  // a non-digit among the first three bytes, or 000
        PARSE_BELOW_RANGE = -4, // code below minCode (range checks on)
        PARSE_ABOVE_RANGE = -5, // code above maxCode (range checks on)
        PARSE_NO_MEMORY = -6    // no memory for the copy
    };

    // A codec with the range minCode..maxCode (see init).
    explicit RadioCommand(int minCode = FIRST_CODE, int maxCode = LAST_CODE);
    virtual ~RadioCommand();
    RadioCommand(const RadioCommand&) = delete;
    RadioCommand& operator=(const RadioCommand&) = delete;

    // Stores the range and forgets what was parsed and built. Equal bounds
    // are both stored as 0, which turns the range checks of parse off.
    void init(int minCode, int maxCode);

    // 0 on success, else one of ParseError. What was parsed before is
    // forgotten first, so after a failure nothing counts as parsed. On
    // success a 0-terminated copy of all length bytes is kept.
    int parse(const void *bytes, int length);

    int code() const;                    // code of the parsed message, 0 when none
    int payloadLength() const;           // bytes after the digits, 0 when none parsed
    const unsigned char *payload() const; // those bytes, null when there are none

    bool isRaw() const;      // RAW with at least one payload byte
    bool isPowerOn() const;  // POWER_ON without payload
    bool isPowerOff() const; // POWER_OFF without payload
    bool isRtsOn() const;    // RTS_ON without payload
    bool isRtsOff() const;   // RTS_OFF without payload

    // 0, or -1 when code lies outside minCode..maxCode (whatever the bounds
    // are) or outside 0..999, when length is negative, when length bytes are asked for from a
    // null pointer, or when memory runs out. The previous text is dropped
    // first. The text is the code as "%03d" and length bytes from bytes.
    int build(int code, const void *bytes, int length);

    // The built text (0-terminated) and its length; null and 0 when none.
    const char *text() const;
    int textLength() const;

    // -1 for a null pointer or no bytes, else build(RAW, bytes, length).
    int buildRaw(const void *bytes, int length);
    // build(POWER_ON, none, 0).
    int buildPowerOn();
    // -1 for a value outside 0..100, else build(LEVEL, value as "%03d", 3).
    int buildLevel(int value);

private:
    bool isBare(int wanted) const; // code wanted without payload

    int minCode;                          // lowest accepted code; 0: no check on parse
    int maxCode;                          // highest accepted code; 0: no check on parse
    int parsedCode;                       // code of the last successful parse
    std::unique_ptr<unsigned char[]> inText;  // copy of the parsed message, 0-terminated
    int inLength;                         // its length, digits included
    std::unique_ptr<char[]> outText;      // last built message, 0-terminated
    int outLength;                        // its length
};

#endif
