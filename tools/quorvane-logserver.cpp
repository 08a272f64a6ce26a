// quorvane-logserver: a small multi-operator log server for demonstrations
// and tests of the Quorvane terminal.
//
// Every client is greeted with a "login:" prompt; its first line is taken as
// the operator's name. Each later line is appended to the log file with a
// UTC timestamp and the name, and relayed to every other logged-in operator.
// Input lines are bounded: a longer line is refused with a message and
// dropped up to its end, so a client cannot make the server grow without
// limit. Output waits for an operator only up to a bound: one who stops
// reading is disconnected, with a line in the log, and never holds up the
// others. SIGINT and SIGTERM end the server cleanly with the log flushed.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "CsApplication.h"
#include "CsExternalRead.h"
#include "CsServer.h"

namespace {

const char *const kUsage =
    "Usage: quorvane-logserver [-p port] [-a] [-f logfile] [-m maxline] [-b backlog]\n"
    "\n"
    "  -p port     TCP port number or service name to listen on (default 8000);\n"
    "              0 listens on a free port, named in the listening line\n"
    "  -a          listen on all local addresses (default: loopback only)\n"
    "  -f logfile  file the operators' lines are appended to\n"
    "              (default ./quorvane.log)\n"
    "  -m maxline  longest input line accepted, in bytes (default 4096)\n"
    "  -b backlog  most bytes that may wait for one operator who does not read;\n"
    "              beyond it the operator is disconnected (default 4194304)\n"
    "  -h, --help  print this text\n"
    "\n"
    "Once listening it prints one line on standard output:\n"
    "  quorvane-logserver listening on <address> port <port>, logging to <logfile>\n"
    "\n"
    "Each client is asked \"login:\"; its first line is the operator's name.\n"
    "Every later line is logged as \"<UTC time> <name>: <text>\" and sent to\n"
    "every other logged-in operator as \"<name>: <text>\".\n"
    "An operator disconnected for not reading is logged as\n"
    "  \"<UTC time> -- <name> disconnected: <bytes> bytes not read\".\n";

// Written by the signal handler, read by the loop through the pipe; the
// handler does nothing else, so it is safe whatever the loop is doing.
int g_signalPipe[2] = {-1, -1};

extern "C" void onTerminateSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    if (write(g_signalPipe[1], &byte, 1) < 0) {
        // Nothing sensible to do in a handler; the pipe is never full in
        // practice since one byte already ends the loop.
    }
    errno = saved;
}

// Stops the main loop once a terminating signal has arrived.
class SignalWatch : public CsExternalRead
{
public:
    SignalWatch(CsApplication *owner, int descriptor) : CsExternalRead(owner, descriptor, 1) {}
    void onReady() override
    {
        char drain[16];
        while (read(getDescriptor(), drain, sizeof drain) > 0) {
        }
        CsApplication::stop();
    }
};

struct Operator {
    std::string name;     // empty until the first line arrived
    std::string pending;  // bytes of a line not yet ended
    bool loggedIn = false;
    bool discarding = false; // inside a line that was too long
};

class LogServer : public CsApplication
{
public:
    LogServer(const char *port, bool allAddresses, FILE *log, size_t maxLine, long maxBacklog)
        : log(log), maxLine(maxLine), maxBacklog(maxBacklog)
    {
        // Non-blocking clients: a write to one whose window is full would
        // otherwise stop the whole server, every other operator with it.
        server = std::make_unique<CsServer>(this, port, 0, 1, allAddresses ? nullptr : "127.0.0.1", 1);
    }

    ~LogServer() override
    {
        // Clients are closed by the server object; nothing is posted to us
        // for them any more.
        server.reset();
    }

    bool listening() const { return server->isListening() == 0; }
    int localPort() const { return server->localPort(); }

    int callback(CsApplication *sender, const CsEventMsg *msg) override
    {
        if (sender != server.get() || msg == nullptr)
            return -1;
        const int client = msg->getHandle();
        switch (msg->getType()) {
        case EVENT_CONNECTED:
            operators[client] = Operator();
            sendText(client, "login: ");
            break;
        case EVENT_DISCONNECTED:
            operators.erase(client);
            break;
        case EVENT_DATA:
            receive(client, msg->getData(), msg->getLength());
            break;
        default:
            break;
        }
        return 0;
    }

private:
    void sendText(int client, const std::string &text)
    {
        // The library takes at most one block per send; split long texts.
        const size_t block = 8192;
        for (size_t at = 0; at < text.size(); at += block) {
            const size_t n = std::min(block, text.size() - at);
            if (server->send(client, text.data() + at, static_cast<int>(n)) != 0)
                return;
        }
        const long waiting = server->queuedBytes(client);
        if (waiting > maxBacklog)
            dropSlowReader(client, waiting);
    }

    // An operator who does not read would make the server hold everything
    // the others say for it, without end.
    void dropSlowReader(int client, long waiting)
    {
        auto it = operators.find(client);
        std::string who;
        if (it != operators.end() && it->second.loggedIn)
            who = it->second.name;
        else
            who = std::string("client ") + server->peerAddress(client) + ":" + server->peerPort(client);
        fprintf(log, "%s -- %s disconnected: %ld bytes not read\n", utcStamp().c_str(), who.c_str(), waiting);
        fflush(log);
        server->disconnect(client);
        if (it != operators.end())
            operators.erase(it);
    }

    static std::string utcStamp()
    {
        char stamp[32];
        const time_t now = time(nullptr);
        struct tm utc;
        gmtime_r(&now, &utc);
        strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
        return stamp;
    }

    void receive(int client, const char *data, int length)
    {
        auto it = operators.find(client);
        if (it == operators.end() || data == nullptr)
            return;
        for (int i = 0; i < length; ++i) {
            // Look the operator up again: a handler may have closed it.
            it = operators.find(client);
            if (it == operators.end())
                return;
            Operator &op = it->second;
            const char c = data[i];
            if (c == '\n') {
                if (op.discarding)
                    op.discarding = false;
                else
                    line(client, op);
                op.pending.clear();
                continue;
            }
            if (op.discarding)
                continue;
            if (op.pending.size() >= maxLine) {
                op.pending.clear();
                op.discarding = true;
                sendText(client, "Line refused: longer than " + std::to_string(maxLine) +
                                     " bytes. Dropped up to its end.\n");
                continue;
            }
            op.pending.push_back(c);
        }
    }

    void line(int client, Operator &op)
    {
        std::string text = op.pending;
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        if (!op.loggedIn) {
            if (text.empty()) {
                sendText(client, "login: ");
                return;
            }
            op.name = text;
            op.loggedIn = true;
            sendText(client, "Welcome, " + op.name + ".\n");
            return;
        }
        // One write and a flush per line: whatever has been relayed is also
        // on disk, even if the server is killed afterwards.
        fprintf(log, "%s %s: %s\n", utcStamp().c_str(), op.name.c_str(), text.c_str());
        fflush(log);

        const std::string relay = op.name + ": " + text + "\n";
        // Snapshot the receivers first: a failed send may end a client, and
        // so may a backlog beyond the bound.
        std::vector<int> receivers;
        for (const auto &entry : operators)
            if (entry.first != client && entry.second.loggedIn)
                receivers.push_back(entry.first);
        for (int other : receivers)
            sendText(other, relay);
    }

    FILE *log;
    size_t maxLine;
    long maxBacklog; // bytes that may wait for one operator
    std::map<int, Operator> operators; // by client connection handle
    std::unique_ptr<CsServer> server;
};

// True for a port text that asks for port 0, which lets the system choose.
bool asksForAnyPort(const char *port)
{
    if (*port == '\0')
        return false;
    for (const char *c = port; *c != '\0'; ++c)
        if (*c != '0')
            return false;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const char *port = "8000";
    const char *logPath = "./quorvane.log";
    bool allAddresses = false;
    long maxLine = 4096;
    long maxBacklog = 4L << 20;

    static const struct option longOptions[] = {{"help", no_argument, nullptr, 'h'},
                                                {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "p:af:m:b:h", longOptions, nullptr)) != -1) {
        switch (c) {
        case 'p':
            port = optarg;
            break;
        case 'a':
            allAddresses = true;
            break;
        case 'f':
            logPath = optarg;
            break;
        case 'm': {
            char *end = nullptr;
            maxLine = strtol(optarg, &end, 10);
            if (end == optarg || *end != '\0' || maxLine < 1 || maxLine > 1048576) {
                fprintf(stderr, "quorvane-logserver: -m wants a length from 1 to 1048576\n");
                return 2;
            }
            break;
        }
        case 'b': {
            char *end = nullptr;
            maxBacklog = strtol(optarg, &end, 10);
            if (end == optarg || *end != '\0' || maxBacklog < 1 || maxBacklog > (1L << 30)) {
                fprintf(stderr, "quorvane-logserver: -b wants a size from 1 to 1073741824\n");
                return 2;
            }
            break;
        }
        case 'h':
            fputs(kUsage, stdout);
            return 0;
        default:
            fputs(kUsage, stderr);
            return 2;
        }
    }
    if (optind != argc) {
        fputs(kUsage, stderr);
        return 2;
    }

    FILE *log = fopen(logPath, "a");
    if (log == nullptr) {
        fprintf(stderr, "quorvane-logserver: cannot open %s for appending: %s\n", logPath, strerror(errno));
        return 1;
    }

    if (pipe(g_signalPipe) != 0) {
        perror("quorvane-logserver: pipe");
        return 1;
    }
    for (int fd : g_signalPipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onTerminateSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    int status = 0;
    {
        LogServer server(port, allAddresses, log, static_cast<size_t>(maxLine), maxBacklog);
        if (!server.listening()) {
            fprintf(stderr, "quorvane-logserver: cannot listen on port %s\n", port);
            status = 1;
        } else {
            SignalWatch watch(&server, g_signalPipe[0]);
            // With port 0 the line names the port chosen: it is how a script
            // that started the server learns where to connect.
            const std::string shownPort = asksForAnyPort(port) ? std::to_string(server.localPort()) : port;
            printf("quorvane-logserver listening on %s port %s, logging to %s\n",
                   allAddresses ? "all addresses" : "127.0.0.1", shownPort.c_str(), logPath);
            fflush(stdout);
            if (CsApplication::run() != 0)
                status = 1;
        }
    }
    if (fclose(log) != 0) {
        perror("quorvane-logserver: closing the log");
        status = 1;
    }
    return status;
}
