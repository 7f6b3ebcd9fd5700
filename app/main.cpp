// Entry point: no command line, no configuration; the exit code is always 0.
#include "app/lifecycle.h"
#include "platform/thread.h"

int main() { EndProcess(RunProgram()); }
