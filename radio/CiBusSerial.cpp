#include "CiBusSerial.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "SerialLines.h"

CiBusSerial::CiBusSerial(CsApplication *owner, const char *device, int verbose, int maxRead, int retryMs,
                         int noResponseMs)
    : CsExternalRead(owner, -1, 0),
      fd(-1),
      verbose(verbose),
      writing(0),
      maxRead(maxRead > 0 ? maxRead : 0),
      retryMs(retryMs > 0 ? retryMs : RETRY_MS),
      noResponseMs(noResponseMs > 0 ? noResponseMs : NO_RESPONSE_MS)
{
    open(device);
}

CiBusSerial::~CiBusSerial()
{
    finishWrite();
    // The watch is withdrawn before the close, so that the loop never serves
    // a descriptor that is closed or already reused.
    detach();
    if (fd >= 0)
        ::close(fd);
    fifo.clear();
}

void CiBusSerial::open(const char *device)
{
    printf("fifo size is [%d]\n", static_cast<int>(fifo.size()));
    if (verbose)
        printf("CiBusSerial() : try to open device %s\n", device ? device : "(null)");
    fd = SerialLines::openFrameLine(device, B9600, CiFrame::END, 1);
    if (fd < 0)
        return;
    if (verbose) {
        printf("CiBusSerial() : setup of termios\n");
        printf("CiBusSerial() : add fd (%d) application\n", fd);
    }
    // A driver that takes nothing must not watch: an unread line stays
    // readable, and the loop would serve it for ever instead of its timers.
    if (maxRead > 0)
        attach(fd);
}

int CiBusSerial::checkOpen() const
{
    return fd >= 0 ? 0 : -1;
}

int CiBusSerial::write(const unsigned char *payload, int length)
{
    if (checkOpen() < 0)
        return -1;
    if (!payload || length <= 0)
        return -2;
    fifo.emplace_back(payload, length);
    if (!writing)
        startWrite();
    return 0;
}

void CiBusSerial::startWrite()
{
    if (fifo.empty())
        return;
    const CiFrame& head = fifo.front();
    if (verbose) {
        printf("write [%d] : ", head.getLength());
        for (int i = 0; i < head.getLength(); i++)
            printf("%02x ", head.getBytes()[i]);
        printf("\n");
    }
    ssize_t written = ::write(fd, head.getBytes(), static_cast<size_t>(head.getLength()));
    (void)written; // a frame that never reaches the line ends like a lost echo
    writing = 1;
    // Left running on a resend: the limit counts from the first transmission.
    if (!noResponseTimer)
        noResponseTimer = std::make_unique<CsTimer>(this, noResponseMs, 0);
}

void CiBusSerial::finishWrite()
{
    if (!fifo.empty())
        fifo.pop_front();
    writing = 0;
    noResponseTimer.reset();
    retryTimer.reset();
}

void CiBusSerial::onReady()
{
    if (maxRead <= 0)
        return;
    std::vector<unsigned char> buffer(static_cast<size_t>(maxRead) + 1);
    ssize_t count = ::read(fd, buffer.data(), static_cast<size_t>(maxRead));
    const int readErrno = errno;
    if (verbose)
        printf("CiBusSerial() : read serial\n");
    if (count <= 0) {
        if (SerialLines::isGone(fd, count, readErrno))
            detach();
        return;
    }
    if (verbose)
        printf("CiBusSerial() : read, serial length=%d)\n", static_cast<int>(count));
    received(buffer.data(), static_cast<int>(count));
}

void CiBusSerial::received(const unsigned char *bytes, int count)
{
    // Fewer than two bytes cannot hold the preamble.
    if (!bytes || count < 2 || bytes[0] != CiFrame::PREAMBLE || bytes[1] != CiFrame::PREAMBLE)
        return;
    if (verbose)
        printf("CiBusSerial() : read, ci start find\n");

    if (writing) {
        if (verbose)
            printf("CiBusSerial() : read, doning write\n");
        if (fifo.front().isEcho(bytes, count)) {
            if (verbose)
                printf("CiBusSerial() : read, write ok\n");
            finishWrite();
            startWrite();
        } else {
            if (verbose)
                printf("CiBusSerial() : read, write need retry...\n");
            // Further mismatches before the resend change nothing.
            if (!retryTimer)
                retryTimer = std::make_unique<CsTimer>(this, retryMs, 0);
        }
        return;
    }

    if (verbose)
        printf("CiBusSerial() : read, new message (l=%d)\n", count);
    if (count > 2) {
        auto msg = std::make_unique<CsEventMsg>(bytes + 2, count - 2);
        if (verbose)
            printf("CiBusSerial() : read, new message, call appCB(msg)\n");
        deliver(std::move(msg));
    }
}

int CiBusSerial::callback(CsApplication *sender, const CsEventMsg *)
{
    if (!sender)
        return -1;
    if (sender == noResponseTimer.get()) {
        if (verbose)
            printf("CiBusSerial() : timer, no response on bus !\n");
        finishWrite();
        startWrite();
        return 0;
    }
    if (sender == retryTimer.get()) {
        if (verbose)
            printf("CiBusSerial() : timer, collision retry write on bus !\n");
        startWrite();
        retryTimer.reset();
        return 0;
    }
    return -1;
}
