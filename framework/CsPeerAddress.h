// The address and port of a connection's peer as text, for CsClient and
// CsServer. A text stays valid until the next call for the same part.
#ifndef QUORVANE_CSPEERADDRESS_H
#define QUORVANE_CSPEERADDRESS_H

#include <string>

class CsPeerAddress {
public:
    // Dotted address and decimal port of the peer of a library connection
    // handle; "" when the library has no such connection.
    const char *address(int handle);
    const char *port(int handle);
    // Empties both texts.
    void clear();

private:
    std::string addressText;
    std::string portText;
};

#endif
