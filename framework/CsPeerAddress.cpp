#include "CsPeerAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "client_server.h"

const char *CsPeerAddress::address(int handle)
{
    connection_info info;
    char text[INET_ADDRSTRLEN] = "";
    if (client_server_connection_info(handle, &info) == 0)
        inet_ntop(AF_INET, &info.address, text, sizeof text);
    addressText = text;
    return addressText.c_str();
}

const char *CsPeerAddress::port(int handle)
{
    connection_info info;
    portText.clear();
    if (client_server_connection_info(handle, &info) == 0)
        portText = std::to_string(info.port);
    return portText.c_str();
}

void CsPeerAddress::clear()
{
    addressText.clear();
    portText.clear();
}
