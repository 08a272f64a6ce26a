// Connections through the library beside plain blocking sockets doing the
// same work over loopback TCP in the same run; compare each pair as a ratio.
//
//   LibraryRawEcho / BlockingRawEcho: 64 MiB in 8 KB writes to an echo
//   server and back, at most 64 KB in flight. The library pair is a
//   library server echoing every read and a library client, both in the
//   one main loop; the baseline is a thread echoing with read/write and a
//   writer that reads the echo whenever its window is full.
//   LibraryFramedMessages / BlockingFramedMessages: 100000 framed messages
//   of 32 payload bytes from a client to a server that counts them; the
//   library side sends in batches of 64 and the next batch goes when the
//   server has received the last, the baseline reads header and payload
//   with two blocking reads per message as the library does.
//
// The main loop of a process runs only once, so every library iteration
// runs in a child process that reports its own elapsed time; the fork is
// not measured (manual time).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "child.h"
#include "client.h"
#include "client_server.h"
#include "loopback.h"
#include "server.h"

namespace {

constexpr long long kEchoBytes = 64LL << 20;
constexpr int kChunk = 8192;
constexpr long long kWindow = 64 * 1024;
constexpr int kMessages = 100000;
constexpr int kPayload = 32;
constexpr int kBatch = 64;

double now_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool write_all(int fd, const char *data, size_t len)
{
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool read_exact(int fd, char *buf, size_t len)
{
    while (len > 0) {
        const ssize_t n = read(fd, buf, len);
        if (n <= 0)
            return false;
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Runs one library iteration in a child (the library's main loop runs once
// per process); its elapsed seconds, which it prints, or a negative value
// when it failed.
double run_in_child(double (*body)())
{
    const kit::ChildResult r = kit::Child([body] { printf("%.9f\n", body()); }, kit::capturing()).finish(120000);
    return r.passed() ? atof(r.out.c_str()) : -1;
}

// ---- library raw echo ----

struct EchoRun {
    int client;
    long long sent;
    long long received;
    double start;
    double end;
    char chunk[kChunk];
};
EchoRun echo;

void echo_fill_window()
{
    while (echo.sent < kEchoBytes && echo.sent - echo.received < kWindow) {
        if (client_server_send(echo.client, MSG_RAW, echo.chunk, kChunk) != 0) {
            client_server_stop();
            return;
        }
        echo.sent += kChunk;
    }
}

void echo_server_message(int handle, int msg_type, const char *data, int len)
{
    client_server_send(handle, msg_type, data, len);
}

void echo_client_connect(int, int success)
{
    if (!success) {
        client_server_stop();
        return;
    }
    echo.start = now_seconds();
    echo_fill_window();
}

void echo_client_message(int, int, const char *, int len)
{
    echo.received += len;
    if (echo.received >= kEchoBytes) {
        echo.end = now_seconds();
        client_server_stop();
        return;
    }
    echo_fill_window();
}

double library_echo_once()
{
    if (client_server_init() != 0)
        return -1;
    const std::string port = std::to_string(kit::probeFreePort());
    server_callbacks server = {nullptr, nullptr, echo_server_message};
    if (server_listen(port.c_str(), &server, CS_FLAG_RAW | CS_FLAG_NODELAY) < 0)
        return -1;
    client_callbacks client = {echo_client_message, echo_client_connect, nullptr};
    memset(echo.chunk, 'q', sizeof echo.chunk);
    echo.client = client_connect("127.0.0.1", port.c_str(), &client, CS_FLAG_RAW | CS_FLAG_NONBLOCK | CS_FLAG_NODELAY);
    if (echo.client < 0)
        return -1;
    client_server_main_loop();
    return echo.received >= kEchoBytes ? echo.end - echo.start : -1;
}

void LibraryRawEcho(benchmark::State &state)
{
    for (auto _ : state) {
        const double seconds = run_in_child(library_echo_once);
        if (seconds < 0) {
            state.SkipWithError("library echo failed");
            return;
        }
        state.SetIterationTime(seconds);
    }
    state.SetBytesProcessed(state.iterations() * kEchoBytes);
}

// ---- blocking raw echo ----

void BlockingRawEcho(benchmark::State &state)
{
    std::vector<char> chunk(kChunk, 'q');
    std::vector<char> in(kChunk);
    for (auto _ : state) {
        kit::Listener listener;
        const int sender = kit::connectLoopback(listener.port());
        const int echoer = listener.accept(5000);
        listener.close();
        const int on = 1;
        setsockopt(sender, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        setsockopt(echoer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::thread echo_thread([echoer] {
            char buf[kChunk];
            ssize_t n;
            while ((n = read(echoer, buf, sizeof buf)) > 0)
                if (!write_all(echoer, buf, static_cast<size_t>(n)))
                    break;
        });

        const double start = now_seconds();
        long long sent = 0, received = 0;
        bool ok = true;
        while (ok && received < kEchoBytes) {
            if (sent < kEchoBytes && sent - received < kWindow) {
                ok = write_all(sender, chunk.data(), chunk.size());
                sent += kChunk;
            } else {
                const ssize_t n = read(sender, in.data(), in.size());
                ok = n > 0;
                received += n;
            }
        }
        state.SetIterationTime(now_seconds() - start);
        shutdown(sender, SHUT_WR);
        echo_thread.join();
        close(sender);
        if (!ok) {
            state.SkipWithError("blocking echo failed");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * kEchoBytes);
}

// ---- library framed messages ----

struct FramedRun {
    int client;
    int sent;
    int received;
    double start;
    double end;
    char payload[kPayload];
};
FramedRun framed;

void framed_send_batch()
{
    for (int i = 0; i < kBatch && framed.sent < kMessages; i++, framed.sent++)
        if (client_server_send(framed.client, 2, framed.payload, kPayload) != 0) {
            client_server_stop();
            return;
        }
}

void framed_server_message(int, int, const char *, int)
{
    framed.received++;
    if (framed.received == kMessages) {
        framed.end = now_seconds();
        client_server_stop();
    } else if (framed.received == framed.sent) {
        framed_send_batch();
    }
}

void framed_client_connect(int, int success)
{
    if (!success) {
        client_server_stop();
        return;
    }
    framed.start = now_seconds();
    framed_send_batch();
}

double library_framed_once()
{
    if (client_server_init() != 0)
        return -1;
    const std::string port = std::to_string(kit::probeFreePort());
    server_callbacks server = {nullptr, nullptr, framed_server_message};
    if (server_listen(port.c_str(), &server, CS_FLAG_NODELAY) < 0)
        return -1;
    client_callbacks client = {nullptr, framed_client_connect, nullptr};
    memset(framed.payload, 'm', sizeof framed.payload);
    framed.client = client_connect("127.0.0.1", port.c_str(), &client, CS_FLAG_NONBLOCK | CS_FLAG_NODELAY);
    if (framed.client < 0)
        return -1;
    client_server_main_loop();
    return framed.received == kMessages ? framed.end - framed.start : -1;
}

void LibraryFramedMessages(benchmark::State &state)
{
    for (auto _ : state) {
        const double seconds = run_in_child(library_framed_once);
        if (seconds < 0) {
            state.SkipWithError("library messages failed");
            return;
        }
        state.SetIterationTime(seconds);
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
}

// ---- blocking framed messages ----

void BlockingFramedMessages(benchmark::State &state)
{
    for (auto _ : state) {
        kit::Listener listener;
        const int sender = kit::connectLoopback(listener.port());
        const int reader = listener.accept(5000);
        listener.close();
        const int on = 1;
        setsockopt(sender, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

        const double start = now_seconds();
        std::thread writer([sender] {
            char message[8 + kPayload];
            const uint32_t header[2] = {htonl(2), htonl(kPayload)};
            memcpy(message, header, sizeof header);
            memset(message + 8, 'm', kPayload);
            for (int i = 0; i < kMessages; i++)
                if (!write_all(sender, message, sizeof message))
                    break;
        });
        int received = 0;
        char header[8];
        char payload[kPayload];
        while (received < kMessages && read_exact(reader, header, sizeof header) &&
               read_exact(reader, payload, ntohl(*reinterpret_cast<uint32_t *>(header + 4))))
            received++;
        state.SetIterationTime(now_seconds() - start);
        writer.join();
        close(sender);
        if (received != kMessages) {
            state.SkipWithError("blocking messages failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
}

} // namespace

BENCHMARK(LibraryRawEcho)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BlockingRawEcho)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(LibraryFramedMessages)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BlockingFramedMessages)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();
