#pragma once
// The worker thread's frame around one update run.
#include <windows.h>

void StartWorker();  // starts UpdateWorker unless one runs
DWORD WINAPI UpdateWorker(void* unused);
