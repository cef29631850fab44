// Must not compile: a program linked with the host libraries sees only their
// public headers, and the emulator's header is not one of them.
#include "machine_engine.h"

int main() { return 0; }
