#pragma once
// The worker thread's frame around one update run.
#include <windows.h>

#include "status/status.h"
#include "update/plan.h"

void StartWorker(Trust trust);  // starts UpdateWorker with trust unless one runs
DWORD WINAPI UpdateWorker(void* trust);  // the Trust, carried in the pointer

// After RunUpdate: clears WorkerRunning, has the window apply the status once more, then CloseWhenDone.
void EndWorkerFrame();

// With ExitWhenDone and a result in the status: ExitCode 0 for Ready, else 2, and WM_CLOSE to the window.
// A Busy status (a stop request, a self-update) decides nothing.
void CloseWhenDone();
