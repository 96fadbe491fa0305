#include "update/ownership.h"

#include <utility>

#include "support/files.h"
#include "support/text.h"
#include "support/texts.h"
#include "transfer/download.h"
#include "update/install.h"
#include "update/records.h"
#include "update/self_update.h"

InstallQueue::InstallQueue(const std::wstring& installDir, const UpdatePlan& plan, StateTable& table,
                           const TransferSettings& settings)
    : installDir_(installDir), plan_(plan), table_(table), launcherKey_(FileKey(ModulePath())) {
    flushes_.emplace(settings.flushThreads, settings.flush);
}

// A part is opened without sharing until its flush has ended: the same file's next download
// would meet it open, so it waits for that install first.
StepResult InstallQueue::MayBegin(std::size_t i) {
    beginning_ = FileKey(plan_.downloadList[i]->localPath);
    std::size_t through = 0;  // installs pending_ before this
    for (std::size_t p = 0; p < pending_.size(); ++p) {
        if (pending_[p].index + static_cast<std::size_t>(kFlushDepth) <= i || pending_[p].key == beginning_)
            through = p + 1;
    }
    for (; through > 0; --through) {
        StepResult result = InstallNext();
        if (result != StepOutcome::GoOn) return result;
    }
    return StepOutcome::GoOn;
}

bool InstallQueue::Submit(std::size_t i, OwnedHandle part) {
    const std::size_t ticket = flushes_->Submit(std::move(part));
    pending_.push_back({i, ticket, std::move(beginning_)});
    return pending_.back().key == launcherKey_;
}

StepResult InstallQueue::Install(bool wait) {
    while (!pending_.empty() && (wait || flushes_->Ended(pending_.front().ticket))) {
        StepResult result = InstallNext();
        if (result != StepOutcome::GoOn) return result;
    }
    return StepOutcome::GoOn;
}

// Moved and recorded only once its flush has ended, so no record is ever ahead of its data on
// the disk; the save carries the mark of the download kMarkLead places on.
StepResult InstallQueue::InstallNext() {
    const Pending next = std::move(pending_.front());
    pending_.erase(pending_.begin());
    const ManifestEntry& entry = *plan_.downloadList[next.index];
    if (!flushes_->Wait(next.ticket)) {
        // Reported flushed once through a new handle, its bytes may still be lost: fetched anew.
        (void)DeleteClearingReadOnly(PartPath(entry));
        return DownloadInterrupted({DownloadFault::NotWritten, PartPath(entry)});
    }
    if (next.key == launcherKey_) return InstallLauncher(entry);
    const std::size_t ahead = next.index + kMarkLead;
    const bool marked = ahead < plan_.downloadList.size() && MarkNewDownload(*plan_.downloadList[ahead], table_, &kept_);
    bool saved = false;
    if (!InstallFile(installDir_, entry, table_, &kept_, &saved)) {
        return Ending{Text::ReplaceFailed, {FromUtf8(entry.path)}};
    }
    if (marked && !saved) {
        // Never on the disk: that download goes unmarked, and no later save may write the mark.
        table_.erase(plan_.downloadList[ahead]->path);
        kept_.current = false;
    }
    return StepOutcome::GoOn;
}

// Ends the run either way: the rest of downloadList is the restarted launcher's work. The
// marks ahead are withdrawn with the launcher's own record, before the new launcher reads them.
StepResult InstallQueue::InstallLauncher(const ManifestEntry& entry) {
    if (!ReplaceLauncher(entry)) {
        return Ending{Text::LauncherNotUpdated, {}};
    }
    table_[entry.path] = entry.hash;
    (void)WithdrawBareMarks(installDir_, table_);
    (void)SaveRecords(installDir_, table_);
    return StepOutcome::Relaunch;
}

StepResult InstallQueue::End(StepResult result) {
    flushes_.reset();  // every handle closed: a part's size is final, and it may be deleted
    if (result != StepOutcome::GoOn && result != StepOutcome::Relaunch && WithdrawBareMarks(installDir_, table_))
        (void)SaveRecords(installDir_, table_);
    return result;
}
