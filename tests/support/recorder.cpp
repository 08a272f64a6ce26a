#include "recorder.h"

#include <algorithm>
#include <cerrno>

namespace kit {

std::vector<std::string> events;
std::function<void(const std::string &)> onEvent;

namespace {

void record(const std::string &event)
{
    events.push_back(event);
    if (onEvent)
        onEvent(event);
}

void message(int handle, int type, const char *data, int len)
{
    record("message " + std::to_string(handle) + " " + std::to_string(type) + " " +
           std::string(data, static_cast<size_t>(len)));
}

void connected(int handle, int success)
{
    record("connect " + std::to_string(handle) + " " + std::to_string(success) + " " +
           std::to_string(success ? 0 : errno));
}

void accepted(int handle)
{
    record("accept " + std::to_string(handle));
}

void disconnected(int handle)
{
    record("disconnect " + std::to_string(handle));
}

} // namespace

client_callbacks recordingClient()
{
    return client_callbacks{message, connected, disconnected};
}

server_callbacks recordingServer()
{
    return server_callbacks{accepted, disconnected, message};
}

int countEvents(const std::string &prefix)
{
    int n = 0;
    for (const std::string &e : events)
        n += e.compare(0, prefix.size(), prefix) == 0;
    return n;
}

bool hasEvent(const std::string &record)
{
    return std::find(events.begin(), events.end(), record) != events.end();
}

} // namespace kit
