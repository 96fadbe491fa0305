#pragma once
// The operator's public key for the file list, as the build was given it: 128 hex digits,
// or empty for a launcher that takes the list unsigned.
extern const char kBuiltListKey[];
