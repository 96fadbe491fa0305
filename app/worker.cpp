#include "app/worker.h"

#include "app/globals.h"
#include "status/status.h"
#include "support/handles.h"
#include "update/run.h"

void StartWorker(const WorkerOrder& order) {
    if (WorkerRunning.exchange(true)) return;
    void* parameter = const_cast<WorkerOrder*>(&order);
    OwnedHandle thread(CreateThread(nullptr, 0, UpdateWorker, parameter, 0, nullptr));
    if (!thread.ok()) WorkerRunning.exchange(false);
}

DWORD WINAPI UpdateWorker(void* order) {
    const WorkerOrder& given = *static_cast<const WorkerOrder*>(order);
    RunUpdate(*given.context, given.trust);
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
    const UiMode mode = ReadStatus().UiMode;
    if (mode == UiMode::Busy) return;
    ExitCode = mode == UiMode::Ready ? 0 : 2;
    (void)PostMessageW(MainWindow, WM_CLOSE, 0, 0);
}
