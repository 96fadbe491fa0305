#include "app/worker.h"

#include "app/globals.h"
#include "status/status.h"
#include "support/handles.h"
#include "update/run.h"

void StartWorker(Trust trust) {
    if (WorkerRunning.exchange(true)) return;
    void* parameter = reinterpret_cast<void*>(static_cast<INT_PTR>(trust));
    OwnedHandle thread(CreateThread(nullptr, 0, UpdateWorker, parameter, 0, nullptr));
    if (!thread.ok()) WorkerRunning.exchange(false);
}

DWORD WINAPI UpdateWorker(void* trust) {
    RunUpdate({}, static_cast<Trust>(reinterpret_cast<INT_PTR>(trust)));
    EndWorkerFrame();
    return 0;
}

void EndWorkerFrame() {
    WorkerRunning.exchange(false);
    // The window may have applied the run's last status while the flag above was still
    // set, and left Settings disabled; one more notification makes it look again.
    if (MainWindow) (void)PostMessageW(MainWindow, WM_APP_STATUS, 0, 0);
    CloseWhenDone();
}

void CloseWhenDone() {
    if (!ExitWhenDone) return;
    std::lock_guard lock(StatusLock);
    if (CurrentStatus.UiMode == UiMode::Busy) return;
    ExitCode = CurrentStatus.UiMode == UiMode::Ready ? 0 : 2;
    (void)PostMessageW(MainWindow, WM_CLOSE, 0, 0);
}
