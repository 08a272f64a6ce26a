// The one event record with which every framework object reports to its
// owner: a private copy of a block of bytes, its length, an event type and
// the library handle the event concerns.
//
// The sender builds a message on the heap and hands it to
// CsApplication::deliver, which passes it to the owner's callback and
// destroys it when the callback returns. A receiver that wants the contents
// later keeps a copy; copies own their own buffer and are independent.
#ifndef QUORVANE_CS_EVENT_MSG_H
#define QUORVANE_CS_EVENT_MSG_H

#include <memory>

// Event types posted by the connection objects (CsClient, CsServer).
enum {
    EVENT_CONNECT_FAILED = 1, // an attempt failed and the client does not retry
    EVENT_CONNECTED = 2,      // a connection is established (client) or accepted (server)
    EVENT_DISCONNECTED = 3,   // the peer went; never posted for the object's own disconnect
    EVENT_DATA = 4            // bytes arrived: a copy of the bytes of one read
};

class CsEventMsg
{
public:
    // Copies length bytes from data and puts a NUL after them, so that a text
    // payload can be used as a C string. A length of 0 (or below, or a null
    // data pointer) makes an empty message whose getData() is null.
    // type is -1 for a plain data message, handle -1 when none.
    CsEventMsg(const void *data, int length, int type = -1, int handle = -1);

    CsEventMsg(const CsEventMsg &other);
    CsEventMsg &operator=(const CsEventMsg &other);
    // Moving hands the buffer over; the source is left empty (length 0).
    CsEventMsg(CsEventMsg &&other) noexcept;
    CsEventMsg &operator=(CsEventMsg &&other) noexcept;
    virtual ~CsEventMsg();

    // The owned, NUL-terminated payload; null for an empty message. The
    // payload may hold NUL bytes of its own: use getLength().
    virtual const char *getData() const;
    virtual int getLength() const;  // payload bytes, the trailing NUL not counted
    virtual int getType() const;    // EVENT_* or -1
    virtual int getHandle() const;  // library handle, or -1

private:
    void store(const char *source, int count);

    std::unique_ptr<char[]> data; // payload plus NUL; null when length is 0
    int length;                   // payload length in bytes
    int type;                     // event type, -1 for plain data
    int handle;                   // library handle, -1 when none
};

#endif
