#include <windows.h>

#include "transfer/settings.h"

// Alone in its file: the benchmark's build without flushes (bench/no_flush.cpp) links its own
// in its place, and the linker then never takes this one from the library.
bool FlushFileData(void* handle) { return FlushFileBuffers(handle) != FALSE; }
