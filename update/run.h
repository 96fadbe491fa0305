#pragma once
// One update run: fetch, parse, plan, verify, guard, download, install, clean up.
#include <cstdint>
#include <string>

#include "formats/manifest.h"
#include "update/plan.h"
#include "update/run_context.h"

// Everything it says leaves as status posts, log lines and WM_APP_RELAUNCH.
// trust: Trust::NoRecord for a repair.
void RunUpdate(const RunContext& context, Trust trust);

// The log's one-wording line: baseUrl, version, entries, hashed, to download, megabytes.
std::wstring SummaryLine(const std::wstring& baseUrl, const Manifest& manifest, const UpdatePlan& plan);

// "Version %s" of the manifest's version, or "" when it has none.
std::wstring VersionDetail(const std::string& version);
