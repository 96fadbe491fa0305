#pragma once
// The worker thread's frame around one update run.
#include <windows.h>

#include "status/status.h"

void StartWorker();  // starts UpdateWorker unless one runs
DWORD WINAPI UpdateWorker(void* unused);

// After RunUpdate: clears WorkerRunning, has the window apply the status once more, then CloseWhenDone.
void EndWorkerFrame();

// With ExitWhenDone and a result in the status: ExitCode 0 for Ready, else 2, and WM_CLOSE to the window.
// A Busy status (a stop request, a self-update) decides nothing.
void CloseWhenDone();
