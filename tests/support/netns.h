// Two network namespaces joined by a virtual cable that a test can cut
// without either end hearing of it.
#ifndef QUORVANE_TESTS_NETNS_H
#define QUORVANE_TESTS_NETNS_H

#include <functional>
#include <string>

namespace kit {

// Two fresh network namespaces, "client" and "server", joined by a veth pair
// with the documentation addresses 192.0.2.1 (client) and 192.0.2.2
// (server). Cutting the cable takes the server's end down: every packet
// between the two is then dropped and neither side is told. Needs root and
// iproute2; ok() is false with the reason otherwise.
class CablePair {
public:
    CablePair();
    ~CablePair();
    CablePair(const CablePair &) = delete;
    CablePair &operator=(const CablePair &) = delete;

    bool ok() const { return ready; }
    const std::string &whyNot() const { return reason; }
    const std::string &clientNetns() const { return clientNs; }
    const std::string &serverNetns() const { return serverNs; }
    static const char *clientAddress() { return "192.0.2.1"; }
    static const char *serverAddress() { return "192.0.2.2"; }
    bool cut();
    bool mend();

private:
    std::string clientNs, serverNs;
    bool ready = false;
    std::string reason;
};

// Runs body with the calling thread inside a network namespace; sockets it
// makes stay there. False when the namespace could not be entered.
bool inNetns(const std::string &netns, const std::function<void()> &body);

} // namespace kit

#endif
