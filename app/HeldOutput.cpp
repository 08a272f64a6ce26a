#include "HeldOutput.h"

#include <algorithm>
#include <cstdio>

#include "FileShare.h"

unsigned int HeldOutput::lastPendingCount = 0;

HeldOutput::HeldOutput(size_t maxBytes_)
    : messages(0), maxBytes(maxBytes_), heldTicks(0), failing(false), dropped(0)
{
    // A new terminal object starts its quiet-tick count afresh.
    lastPendingCount = 0;
}

void HeldOutput::add(const FileShare& files, const char* data, size_t length)
{
    const size_t before = held.size();
    files.encodeRecord(held, data, static_cast<int>(length));
    if (held.size() > before)
        ++messages;
    if (failing)
        dropBeyondBound();
}

void HeldOutput::addLines(const FileShare& files, const char* text, size_t length)
{
    messages += files.encodeLines(held, text, length);
    if (failing)
        dropBeyondBound();
}

bool HeldOutput::dueAtTick()
{
    if (messages == 0)
        return false;
    if (failing || messages == lastPendingCount || ++heldTicks >= kMaxHeldTicks)
        return true;
    lastPendingCount = static_cast<unsigned int>(messages);
    return false;
}

bool HeldOutput::writeTo(FileShare& files)
{
    if (messages == 0)
        return true;
    size_t written = 0;
    const bool whole = files.appendRecords(held.data(), held.size(), &written) == 0;
    if (whole) {
        if (failing)
            fprintf(stderr, "%s written again: %zu held records written, %zu dropped beyond the bound of %zu bytes\n",
                    files.outputPath(), messages, dropped, maxBytes);
        // The room stays for the next output (the bound and one block at
        // most): fresh pages for every burst would cost more than the copy.
        held.clear();
        messages = 0;
        failing = false;
        dropped = 0;
    } else {
        messages -= static_cast<size_t>(std::count(held.begin(), held.begin() + static_cast<long>(written), '\n'));
        held.erase(0, written);
        dropBeyondBound();
        if (!failing)
            fprintf(stderr, "Can't write %s (%s): %zu records (%zu bytes) held, tried again at each tick\n",
                    files.outputPath(), files.writeProblem().c_str(), messages, held.size());
        failing = true;
    }
    lastPendingCount = 0;
    heldTicks = 0;
    return whole;
}

void HeldOutput::noteRefused(const FileShare& files)
{
    if (failing || files.writeProblem().empty() || files.outputPath() == nullptr)
        return;
    fprintf(stderr, "Can't write %s (%s): server output is held and tried again at each tick\n", files.outputPath(),
            files.writeProblem().c_str());
    failing = true;
}

void HeldOutput::reportLost(const FileShare& files) const
{
    if (messages > 0)
        fprintf(stderr, "Can't write %s (%s): %zu records (%zu bytes) of server output lost at the end\n",
                files.outputPath() != nullptr ? files.outputPath() : "term.in", files.writeProblem().c_str(),
                messages, held.size());
}

void HeldOutput::dropBeyondBound()
{
    size_t cut = 0;
    while (held.size() - cut > maxBytes && messages > 0) {
        cut = held.find('\n', cut) + 1;
        --messages;
        ++dropped;
    }
    held.erase(0, cut);
}
