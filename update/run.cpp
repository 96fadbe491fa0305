#include "update/run.h"

#include "formats/state_file.h"
#include "status/status.h"
#include "support/config.h"
#include "support/log.h"
#include "support/text.h"
#include "support/texts.h"
#include "update/clear_way.h"
#include "update/fetch_list.h"
#include "update/guards.h"
#include "update/install.h"
#include "update/ownership.h"
#include "update/records.h"
#include "update/signed_list.h"

// URL and version are decoded from UTF-8 ("%s"), so a "ü" is written once as UTF-8, not twice.
std::wstring SummaryLine(const std::wstring& baseUrl, const Manifest& manifest, const UpdatePlan& plan) {
    return FormatText(L"%s %s: %d dosya, %d denetlendi, %d indirilecek (%s)", baseUrl.c_str(),
                      FromUtf8(manifest.version).c_str(), static_cast<int>(manifest.entries.size()),
                      static_cast<int>(plan.verifyList.size()), static_cast<int>(plan.downloadList.size()),
                      FormatMegabytes(plan.downloadBytes).c_str());
}

std::wstring VersionDetail(const std::string& version) {
    if (version.empty()) return L"";
    return FormatText(UserText(Text::Version), FromUtf8(version).c_str());
}

namespace {

// Before the first download, each step may end the run.
StepOutcome PrepareDownloads(const Manifest& manifest, const UpdatePlan& plan, StateTable& table,
                             bool stateReadWhole) {
    StepOutcome outcome = CheckGameNotRunning();
    if (outcome == StepOutcome::GoOn) outcome = CheckFreeSpace(plan.downloadBytes);
    // Whether the run may go on is settled before the first file is deleted.
    if (outcome == StepOutcome::GoOn) outcome = SaveRecordsBeforeDownloads(manifest, plan, table, stateReadWhole);
    if (outcome == StepOutcome::GoOn) ClearTheWay(manifest, plan, table);
    return outcome;
}

}  // namespace

void RunUpdate(const RunContext& context, Trust trust) {
    PostStatus(UserText(Text::Connecting), L"", -1, Busy);

    Manifest manifest;
    AcceptedStatement accepted;
    if (FetchList(manifest, accepted, context) != StepOutcome::GoOn) return;
    if (!accepted.listHash.empty()) RememberAcceptedStatement(accepted, UnixNow());

    bool stateReadWhole = true;
    StateTable table = LoadStateTable(&stateReadWhole);
    // Marks a kill left with nothing behind them go before anything else: an extra save only then.
    if (WithdrawBareMarks(table)) (void)SaveRecords(table);
    UpdatePlan plan = PlanUpdate(manifest, table, trust);
    if (!plan.verifyList.empty() && VerifyFiles(plan, table) != StepOutcome::GoOn) return;
    plan.downloadBytes = ComputeDownloadBytes(plan);
    AppendLogLine(SummaryLine(context.BaseUrl, manifest, plan));

    if (!plan.downloadList.empty()) {
        if (PrepareDownloads(manifest, plan, table, stateReadWhole) != StepOutcome::GoOn) return;
        if (DownloadAndInstall(plan, table, context) != StepOutcome::GoOn) return;
    }
    RemoveDroppedFiles(manifest, table);
    PostStatus(UserText(Text::UpToDate), VersionDetail(manifest.version), 1000, Ready);
}
