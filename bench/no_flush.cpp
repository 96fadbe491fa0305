// The measuring build "TarsinLauncherNoFlush": every flush leaves the data to the system's
// write-back, as the ceiling does, and answers success. Run beside the launcher on the same
// data, it shows what the flushes cost and what the launcher adds besides. Never shipped:
// it breaks the promise that a recorded file's data is on the disk.
#include "transfer/settings.h"

bool FlushFileData(void*) { return true; }
