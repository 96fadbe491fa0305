#pragma once
// One update run: fetch, parse, plan, verify, guard, download, install, clean up.
#include <cstdint>
#include <string>

#include "formats/manifest.h"
#include "transfer/settings.h"
#include "update/plan.h"

// Everything it says leaves as status posts, log lines and WM_APP_RELAUNCH.
// trust: Trust::NoRecord for a repair.
void RunUpdate(const TransferSettings& settings = {}, Trust trust = Trust::Records);

// The log's one-wording line: URL, version, entries, hashed, to download, megabytes.
std::wstring SummaryLine(const Manifest& manifest, const UpdatePlan& plan);

// "Version %s" of the manifest's version, or "" when it has none.
std::wstring VersionDetail(const std::string& version);
