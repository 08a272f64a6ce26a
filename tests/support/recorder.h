// Event recorders: of the library's callbacks (plain function pointers
// without user data, so the record is the program's), and, where the
// framework is on the include path, an owner object that records what its
// children tell it.
#ifndef QUORVANE_TESTS_RECORDER_H
#define QUORVANE_TESTS_RECORDER_H

#include <algorithm>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "client_server.h"

namespace kit {

// Records of the library callbacks, in order of arrival:
//   "message <handle> <type> <data>", "connect <handle> <success> <errno>",
//   "accept <handle>", "disconnect <handle>".
// onEvent, when set, runs after each record (for handlers that act).
extern std::vector<std::string> events;
extern std::function<void(const std::string &)> onEvent;
client_callbacks recordingClient();
server_callbacks recordingServer();
// Number of records that start with prefix, and whether one is record.
int countEvents(const std::string &prefix);
bool hasEvent(const std::string &record);

} // namespace kit

#if __has_include("CsApplication.h")
#include "CsApplication.h"
#include "clock.h"

namespace kit {

// One event as an owner saw it.
struct Event {
    CsApplication *sender;
    bool hasMessage;
    int type;
    int handle;
    std::string data;
    long long atMs; // nowMs() when it arrived
};

// An owner that records every event and answers with a chosen result;
// onEvent, when set, runs after the event has been recorded.
class Recorder : public CsApplication {
public:
    int callback(CsApplication *sender, const CsEventMsg *msg) override
    {
        events.push_back({sender, msg != nullptr, msg ? msg->getType() : 0, msg ? msg->getHandle() : 0,
                          msg && msg->getData() ? std::string(msg->getData(), static_cast<size_t>(msg->getLength()))
                                                : std::string(),
                          nowMs()});
        if (onEvent)
            onEvent(events.back());
        return answer;
    }
    // Events with a message of one type (the connection objects' EVENT_*
    // codes), and their payloads joined.
    std::vector<Event> ofType(int type) const
    {
        std::vector<Event> found;
        std::copy_if(events.begin(), events.end(), std::back_inserter(found),
                     [type](const Event &e) { return e.hasMessage && e.type == type; });
        return found;
    }
    std::string dataOf(int type) const
    {
        std::string all;
        for (const Event &e : ofType(type))
            all += e.data;
        return all;
    }

    std::vector<Event> events;
    std::function<void(const Event &)> onEvent;
    int answer = 0;
};

} // namespace kit
#endif

#endif
