#pragma once
// The worker thread's frame around one update run.
#include <windows.h>

#include "status/status.h"
#include "update/plan.h"
#include "update/run_context.h"

// What a worker runs: the entry point's context and the trust. The entry point keeps it for the
// life of the process, so a worker and the window's Retry may hold it by its address.
struct WorkerOrder {
    const RunContext* context;
    Trust trust;
};

void StartWorker(const WorkerOrder& order);  // starts UpdateWorker with order unless one runs
DWORD WINAPI UpdateWorker(void* order);      // the const WorkerOrder*

// After RunUpdate: clears WorkerRunning, has the window apply the status once more, then CloseWhenDone.
void EndWorkerFrame();

// With ExitWhenDone and a result in the status: ExitCode 0 for Ready, else 2, and WM_CLOSE to the window.
// A Busy status (a stop request, a self-update) decides nothing.
void CloseWhenDone();
