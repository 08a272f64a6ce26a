// Uses one piece of every installed layer and says what it saw; any
// difference from the expected result is reported and ends with status 1.
//
//   consumer DIR    (DIR: an empty scratch folder)
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <unistd.h>

#include "CIniFile.h"
#include "CsApplication.h"
#include "CsTimer.h"
#include "FileShare.h"
#include "RadioCommand.h"
#include "handle.h"

namespace {

// Stops the main loop at its second tick.
class TwoTicks : public CsApplication
{
public:
    TwoTicks() : timer(std::make_unique<CsTimer>(this, 20, 0)) {}

    int callback(CsApplication *sender, const CsEventMsg *) override
    {
        if (sender != timer.get())
            return -1;
        if (++ticks == 2)
            CsApplication::stop();
        return 0;
    }

    int ticks = 0;

private:
    std::unique_ptr<CsTimer> timer;
};

int failures = 0;

void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "consumer: %s\n", what);
        ++failures;
    }
}

std::string fileBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: consumer DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    // A main loop that never stops ends the process instead of the test's
    // time limit.
    alarm(20);

    handle_table *table = handle_create(4);
    int value = 7;
    const int handle = table != nullptr ? handle_add(table, &value) : -1;
    check(handle >= 0 && handle_find(table, handle) == &value, "handle table lost its pointer");
    if (table != nullptr)
        handle_destroy(table, nullptr);

    {
        CIniFile out(dir + "/station.ini");
        check(out.setEntryInt("link", "baud", 19200), "configuration entry refused");
        check(out.save(), "configuration file not saved");
    }
    {
        CIniFile in(dir + "/station.ini");
        check(in.load(), "configuration file not loaded");
        check(in.getEntryInt("link", "baud", -1) == 19200, "configuration entry read back wrong");
    }

    RadioCommand command;
    check(command.buildLevel(42) == 0 && command.textLength() == 6 &&
              std::string(command.text(), 6) == "105042",
          "radio level message built wrong");

    {
        FileShare share(nullptr, (dir + "/term.in").c_str(), 0, 0, 1);
        check(share.writeLine("ok\n", 3) == 0, "record not appended");
    }
    check(fileBytes(dir + "/term.in") == std::string("\nok\x01\n"), "shared file holds the wrong bytes");

    TwoTicks app;
    const int result = CsApplication::run();
    check(result == 0, "main loop failed");
    check(app.ticks == 2, "main loop did not stop at the second tick");

    printf("consumer: %d ticks, %d failures\n", app.ticks, failures);
    return failures == 0 ? 0 : 1;
}
