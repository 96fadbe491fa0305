#pragma once
// One update run: fetch, parse, plan, verify, guard, download, install, clean up.
#include <cstdint>
#include <string>

#include "formats/manifest.h"
#include "transfer/http.h"
#include "transfer/settings.h"
#include "update/plan.h"

inline constexpr std::uint64_t kManifestCap = 67108864;  // 64 MiB: a body this large fails the fetch

// Everything it says leaves as status posts, log lines and WM_APP_RELAUNCH.
void RunUpdate(const TransferSettings& settings = {});

// Appends to body; answers false once body holds kManifestCap bytes or more.
ByteSink ManifestSink(std::string& body);

// The log's one-wording line: URL, version, entries, hashed, to download, megabytes.
std::wstring SummaryLine(const Manifest& manifest, const UpdatePlan& plan);

// "Version %s" of the manifest's version, or "" when it has none.
std::wstring VersionDetail(const std::string& version);

// True when an entry reaches, under any spelling, a file the launcher keeps for itself:
// the state file and its ".tmp", the log, oldLauncher (the running launcher's ".old"
// name), or the ".part" of another entry. Served bytes would land in it.
bool NamesLauncherFile(const Manifest& manifest, const std::wstring& oldLauncher);
