#pragma once
// The file list as served, and every check it passes before the run reads it.
#include <cstdint>
#include <string>

#include "formats/manifest.h"
#include "support/shared_rules.h"
#include "transfer/http.h"
#include "update/accepted_statement.h"
#include "update/run_context.h"
#include "update/step.h"

inline constexpr std::uint64_t kManifestCap = kSharedFileListCap;  // 64 MiB: a body this large fails the fetch

// The list at BaseUrl + "manifest.txt", whole (its length announced), signed when the build
// has a key, parsed, and naming none of the launcher's own files; otherwise Failed with the
// failure's ending. accepted: the statement accepted, if any.
[[nodiscard]] StepResult FetchList(Manifest& manifest, AcceptedStatement& accepted, const RunContext& context);

// Appends to body; answers false once body holds kManifestCap bytes or more.
ByteSink ManifestSink(std::string& body);

// True when an entry reaches, under any spelling, a file the launcher keeps for itself:
// the state file and its ".tmp", the log, oldLauncher (the running launcher's ".old"
// name), "data-signed.txt" and its ".tmp" when signedList (a build with a key), or the
// ".part" of another entry. Served bytes would land in it.
bool NamesLauncherFile(const std::wstring& installDir, const Manifest& manifest, const std::wstring& oldLauncher,
                       bool signedList);
