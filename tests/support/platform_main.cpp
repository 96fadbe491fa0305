// The main of tests that need the platform services: Sha256Provider and HttpSession
// opened the way start-up opens them, before any test runs.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/config.h"
#include "transfer/http.h"
#include "transfer/sha256.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!OpenSha256Provider()) {
        std::fprintf(stderr, "the SHA-256 provider could not be opened\n");
        return 1;
    }
    HttpSession = OpenHttpSession();
    if (!HttpSession) {
        std::fprintf(stderr, "the HTTP session could not be opened\n");
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    CloseHttpSession(HttpSession);
    HttpSession = nullptr;
    return result;
}
