#pragma once
// What a run is given: one value, built by the entry point (a test builds its own), and only
// read afterwards. Passed down by const reference; a lower layer takes only the fields it needs.
#include <string>

#include "support/texts.h"
#include "transfer/settings.h"

struct ListTrust {
    // The operator's public key as the build takes it, 128 hex digits (x, then y). Empty:
    // the list is taken unsigned, as it always was.
    std::string publicKey;
    // The statements' channel this launcher takes ("--channel="); empty: the default, which
    // statements without a channel line name. A staging tree's statements name another, so
    // its list served at the players' address is refused.
    std::string channel;
};

struct RunContext {
    std::wstring InstallDir;  // ends in "\", or empty
    std::wstring BaseUrl;  // always ends in "/"
    ListTrust ListSigning;
    TransferSettings transfer;
    bool UseTurkish = false;  // the player's Windows speaks Turkish
};

// The language of every text the run shows.
inline Language TextLanguage(const RunContext& context) {
    return context.UseTurkish ? Language::Turkish : Language::English;
}
