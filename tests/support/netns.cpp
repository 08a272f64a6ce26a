#include "netns.h"

#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#include <vector>

#include "child.h"

namespace kit {

bool inNetns(const std::string &netns, const std::function<void()> &body)
{
    const int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int there = open(("/var/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    const bool ok = home >= 0 && there >= 0 && setns(there, CLONE_NEWNET) == 0;
    if (ok) {
        body();
        if (setns(home, CLONE_NEWNET) != 0)
            abort(); // a test thread left in the wrong namespace would mislead every later test
    }
    for (int fd : {home, there})
        if (fd >= 0)
            close(fd);
    return ok;
}

CablePair::CablePair()
{
    if (geteuid() != 0) {
        reason = "network namespaces need root";
        return;
    }
    if (runCommand({"ip", "-V"}) != 0) {
        reason = "iproute2 (the ip command) is not installed";
        return;
    }
    // The links are named after their namespaces.
    const std::string tag = "qvr" + std::to_string(getpid() % 10000000);
    if (runCommand({"ip", "netns", "add", tag + "c"}) != 0) {
        reason = "ip netns add is not allowed here";
        return;
    }
    clientNs = tag + "c";
    serverNs = tag + "s";
    const std::vector<std::vector<std::string>> steps = {
        {"ip", "netns", "add", serverNs},
        {"ip", "link", "add", clientNs, "type", "veth", "peer", "name", serverNs},
        {"ip", "link", "set", clientNs, "netns", clientNs},
        {"ip", "link", "set", serverNs, "netns", serverNs},
        {"ip", "-n", clientNs, "addr", "add", std::string(clientAddress()) + "/24", "dev", clientNs},
        {"ip", "-n", serverNs, "addr", "add", std::string(serverAddress()) + "/24", "dev", serverNs},
        {"ip", "-n", clientNs, "link", "set", "lo", "up"},
        {"ip", "-n", serverNs, "link", "set", "lo", "up"},
        {"ip", "-n", clientNs, "link", "set", clientNs, "up"},
        {"ip", "-n", serverNs, "link", "set", serverNs, "up"},
    };
    for (const auto &step : steps) {
        if (runCommand(step) != 0) {
            reason = "setting up the namespaces failed at:";
            for (const std::string &w : step)
                reason += " " + w;
            return;
        }
    }
    ready = true;
}

CablePair::~CablePair()
{
    // Deleting a namespace takes its end of the cable with it, and the
    // other end goes too; a cable whose end never reached its namespace is
    // still in ours.
    if (!clientNs.empty()) {
        runCommand({"ip", "netns", "del", serverNs});
        runCommand({"ip", "netns", "del", clientNs});
        if (!ready)
            runCommand({"ip", "link", "del", clientNs});
    }
}

bool CablePair::cut()
{
    return ready && runCommand({"ip", "-n", serverNs, "link", "set", serverNs, "down"}) == 0;
}

bool CablePair::mend()
{
    return ready && runCommand({"ip", "-n", serverNs, "link", "set", serverNs, "up"}) == 0;
}

} // namespace kit
