// Placeholder until the debugger runner lands: keeps the library linkable.
#include "stack_trace.h"

#include <cstdlib>

volatile int trace_wait = 0;

static char *program_name = nullptr;

const char *stack_trace_program_name(void) { return program_name; }
