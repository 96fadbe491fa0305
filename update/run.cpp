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

std::wstring VersionDetail(const std::string& version, Language language) {
    if (version.empty()) return L"";
    return FormatText(TextIn(Text::Version, language), FromUtf8(version).c_str());
}

StepOutcome PostEnding(const std::wstring& installDir, const StepResult& result, Language language) {
    if (result == StepOutcome::Relaunch) PostRelaunch();
    if (result != StepOutcome::Failed || !result.ending) return result.outcome;
    const Ending& ending = *result.ending;
    if (ending.play == PlayAfterFailure::Never)
        PostStatus(EndingText(ending, language), L"", 0, UiMode::Failed);
    else
        ReportFailure(installDir, EndingText(ending, language));
    return result.outcome;
}

// The window restarts the launcher on the Relaunch this run's ending posted; only a failure of
// that is left to say, so it belongs with the run's other endings.
void PostRelaunchFailed(const std::wstring& installDir, Language language) {
    ReportFailure(installDir, TextIn(Text::LauncherUpdated, language));
}

namespace {

// Before the first download, each step may end the run.
StepResult PrepareDownloads(const std::wstring& installDir, const Manifest& manifest, const UpdatePlan& plan,
                            StateTable& table, bool stateReadWhole) {
    StepResult result = CheckGameNotRunning(installDir);
    if (result == StepOutcome::GoOn) result = CheckFreeSpace(installDir, plan.downloadBytes);
    // Whether the run may go on is settled before the first file is deleted.
    if (result == StepOutcome::GoOn)
        result = SaveRecordsBeforeDownloads(installDir, manifest, plan, table, stateReadWhole);
    if (result == StepOutcome::GoOn) ClearTheWay(installDir, manifest, plan, table);
    return result;
}

// The steps of a run, up to the first that does not answer GoOn.
StepResult UpdateSteps(Manifest& manifest, const RunContext& context, Trust trust) {
    AcceptedStatement accepted;
    if (StepResult fetched = FetchList(manifest, accepted, context); fetched != StepOutcome::GoOn) return fetched;
    if (!accepted.listHash.empty()) RememberAcceptedStatement(context.InstallDir, accepted, UnixNow());

    bool stateReadWhole = true;
    StateTable table = LoadStateTable(context.InstallDir, &stateReadWhole);
    // Marks a kill left with nothing behind them go before anything else: an extra save only then.
    if (WithdrawBareMarks(context.InstallDir, table)) (void)SaveRecords(context.InstallDir, table);
    UpdatePlan plan = PlanUpdate(manifest, table, trust);
    if (!plan.verifyList.empty()) {
        const StepOutcome verified = VerifyFiles(context.InstallDir, plan, table, TextLanguage(context));
        if (verified != StepOutcome::GoOn) return verified;
    }
    plan.downloadBytes = ComputeDownloadBytes(plan);
    AppendLogLine(SummaryLine(context.BaseUrl, manifest, plan));

    if (!plan.downloadList.empty()) {
        StepResult result = PrepareDownloads(context.InstallDir, manifest, plan, table, stateReadWhole);
        if (result == StepOutcome::GoOn) result = DownloadAndInstall(plan, table, context);
        if (result != StepOutcome::GoOn) return result;
    }
    RemoveDroppedFiles(context.InstallDir, manifest, table);
    return StepOutcome::GoOn;
}

}  // namespace

void RunUpdate(const RunContext& context, Trust trust) {
    const Language language = TextLanguage(context);
    PostStatus(TextIn(Text::Connecting, language), L"", -1, UiMode::Busy);
    Manifest manifest;
    if (PostEnding(context.InstallDir, UpdateSteps(manifest, context, trust), language) != StepOutcome::GoOn) return;
    PostStatus(TextIn(Text::UpToDate, language), VersionDetail(manifest.version, language), 1000, UiMode::Ready);
}
