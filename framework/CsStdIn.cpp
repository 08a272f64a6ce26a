#include "CsStdIn.h"

#include <cerrno>
#include <memory>
#include <poll.h>
#include <unistd.h>

namespace {

// End of input for good: not a terminal (a pipe or a file stays at its end
// and readable for ever), or a terminal that hung up. At a terminal, end of
// input typed on an empty line is a single event and the console goes on.
bool endOfInputLasts(int descriptor)
{
    if (!isatty(descriptor))
        return true;
    struct pollfd p = {descriptor, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace

CsStdIn::CsStdIn(CsApplication *owner, int keepNewline, int bufferSize, int verbose)
    : CsExternalRead(owner, 0, verbose), bufferSize(bufferSize > 0 ? bufferSize : 0),
      keepNewline(keepNewline)
{
    // A reader that never reads would find its input ready on every pass
    // and keep the loop busy for as long as input is pending.
    if (this->bufferSize == 0)
        detach();
}

CsStdIn::~CsStdIn() = default;

void CsStdIn::onReady()
{
    if (bufferSize == 0)
        return;
    std::unique_ptr<char[]> buffer = std::make_unique<char[]>(static_cast<size_t>(bufferSize) + 1);
    ssize_t count = read(getDescriptor(), buffer.get(), static_cast<size_t>(bufferSize));
    if (count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (count == 0 && !endOfInputLasts(getDescriptor()))
        return;
    if (count <= 0) {
        // The descriptor stays readable for ever at a lasting end of input
        // and after a hard read failure; a watch left in place would turn
        // every pass of the main loop into a busy one.
        detach();
        return;
    }
    if (!keepNewline && --count == 0)
        return;
    buffer[static_cast<size_t>(count)] = '\0';
    deliver(std::make_unique<CsEventMsg>(buffer.get(), static_cast<int>(count), -1, -1));
}
