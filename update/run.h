#pragma once
// One update run: fetch, parse, plan, verify, guard, download, install, clean up.
#include <cstdint>
#include <string>

#include "formats/manifest.h"
#include "update/plan.h"
#include "update/run_context.h"
#include "update/step.h"

// Everything it says leaves as status posts, log lines and WM_APP_RELAUNCH; how it ends is
// posted once, by PostEnding. trust: Trust::NoRecord for a repair.
void RunUpdate(const RunContext& context, Trust trust);

// Posts how a run ends after a step's result: a failure's text (logged), with Play as its
// ending says (it stays when installDir holds the game), in language; the window's relaunch on
// Relaunch; nothing on GoOn or Stopped. Answers the outcome.
StepOutcome PostEnding(const std::wstring& installDir, const StepResult& result, Language language);

// The run ended with Relaunch, but the new launcher could not be started: "open it again".
void PostRelaunchFailed(const std::wstring& installDir, Language language);

// The log's one-wording line: baseUrl, version, entries, hashed, to download, megabytes.
std::wstring SummaryLine(const std::wstring& baseUrl, const Manifest& manifest, const UpdatePlan& plan);

// "Version %s" of the manifest's version, or "" when it has none.
std::wstring VersionDetail(const std::string& version, Language language);
