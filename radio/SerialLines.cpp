#include "SerialLines.h"

#include "IoctlSerialLines.h"

SerialLines::~SerialLines() = default;

SerialLines *SerialLines::device()
{
    // Stateless, so one instance serves every link for the life of the
    // process; a function-local object avoids any order-of-construction
    // question between static objects.
    static IoctlSerialLines lines;
    return &lines;
}
