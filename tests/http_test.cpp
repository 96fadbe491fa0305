#include "transfer/http.h"

#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <thread>

#include "support/config.h"
#include "support/text.h"
#include "tests/support/server_client.h"
#include "tests/support/test_util.h"

namespace {

// What the product passes unless a test sets the transfer up itself.
constexpr UnannouncedLength kAccept = UnannouncedLength::Accept;
const TransferSettings kProduct{};

struct Received {
    std::string body;
    int calls = 0;
    std::set<const std::uint8_t*> buffers;
    std::uint32_t largest = 0;
};

ByteSink Collect(Received& r) {
    return [&r](const std::uint8_t* data, std::uint32_t count) {
        ++r.calls;
        r.buffers.insert(data);
        if (count > r.largest) r.largest = count;
        r.body.append(reinterpret_cast<const char*>(data), count);
        return true;
    };
}

class HttpGetTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(site.ok()) << "needs TARSIN_TEST_URL and TARSIN_TEST_WWW";
        QuitRequested = false;
    }
    void TearDown() override { QuitRequested = false; }

    // One published object; returns its site path "o/<hash>".
    std::string Object(std::string_view content) { return "o/" + site.PublishObject(content); }

    TestSite site;
};

TEST_F(HttpGetTest, SendsNoCacheAndRangeOnlyForAnOffset) {
    const std::string content = PseudoRandomBytes(1048576 + 5000, 7);
    const std::string object = Object(content);
    struct Case {
        std::uint64_t offset;
        const char* range;
        HttpStatus status;
    } cases[] = {{0, "", 200}, {1048576, "bytes=1048576-", 206}, {1, "bytes=1-", 206}};
    for (const Case& c : cases) {
        ASSERT_TRUE(site.Clear());
        Received r;
        HttpStatus status = 1;
        EXPECT_TRUE(HttpGet(site.Url(object), c.offset, Collect(r), status, kAccept, kProduct)) << c.offset;
        EXPECT_EQ(status, c.status);
        EXPECT_TRUE(r.body == content.substr(static_cast<std::size_t>(c.offset))) << c.offset;

        const auto requests = site.RequestsFor(object);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].Header("Cache-Control"), "no-cache");
        EXPECT_EQ(requests[0].Header("User-Agent"), "TarsinLauncher/1");
        EXPECT_EQ(requests[0].HasHeader("Range"), c.offset != 0);
        EXPECT_EQ(requests[0].Header("Range"), c.range);
    }
}

TEST_F(HttpGetTest, HandsEveryBlockFromOneReusedBufferOfAtMost256KiB) {
    const std::string content = PseudoRandomBytes(3 * 1048576 + 17, 3);
    Received r;
    HttpStatus status = 0;
    ASSERT_TRUE(HttpGet(site.Url(Object(content)), 0, Collect(r), status, kAccept, kProduct));
    EXPECT_TRUE(r.body == content);
    EXPECT_LE(r.largest, 262144u);
    EXPECT_GE(r.calls, 13);
    EXPECT_EQ(r.buffers.size(), 1u);
}

TEST_F(HttpGetTest, RefusesEveryStatusButOkAndPartialWithoutReadingTheBody) {
    const std::string object = Object("some content");
    struct Case {
        const char* name;
        std::string path;
        std::uint64_t offset;
        int faultStatus;  // 0: none
        HttpStatus status;
    } cases[] = {
        {"missing", "o/" + std::string(64, '0'), 0, 0, 404},
        {"range past the end", object, 12, 0, 416},
        {"416 from the server", object, 0, 416, 416},
        {"500", object, 0, 500, 500},
        {"304", object, 0, 304, 304},
        {"201", object, 0, 201, 201},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(site.Clear());
        if (c.faultStatus) {
            ASSERT_TRUE(site.SetFault(c.path, "status", c.faultStatus));
        }
        Received r;
        HttpStatus status = 0;
        EXPECT_FALSE(HttpGet(site.Url(c.path), c.offset, Collect(r), status, kAccept, kProduct)) << c.name;
        EXPECT_EQ(status, c.status) << c.name;
        EXPECT_EQ(r.calls, 0) << c.name;
    }
}

TEST_F(HttpGetTest, ReadsAPartialAnswerToAWholeRequestLikeAnOkOne) {
    const std::string object = Object("whole");
    ASSERT_TRUE(site.SetFault(object, "status", 206));  // its body is "fault\n"
    Received r;
    HttpStatus status = 0;
    EXPECT_TRUE(HttpGet(site.Url(object), 0, Collect(r), status, kAccept, kProduct));
    EXPECT_EQ(status, 206u);
    EXPECT_EQ(r.body, "fault\n");
}

TEST_F(HttpGetTest, AcceptsAnEmptyBodyWithoutCallingTheSink) {
    Received r;
    HttpStatus status = 0;
    EXPECT_TRUE(HttpGet(site.Url(Object("")), 0, Collect(r), status, kAccept, kProduct));
    EXPECT_EQ(status, 200u);
    EXPECT_EQ(r.calls, 0);
}

TEST_F(HttpGetTest, StopsAtOnceWhenTheSinkRefuses) {
    const std::string content = PseudoRandomBytes(2 * 1048576, 5);
    int calls = 0;
    HttpStatus status = 0;
    EXPECT_FALSE(HttpGet(site.Url(Object(content)), 0, [&](const std::uint8_t*, std::uint32_t) {
        ++calls;
        return false;
    }, status, kAccept, kProduct));
    EXPECT_EQ(status, 200u);
    EXPECT_EQ(calls, 1);
}

TEST_F(HttpGetTest, QuitRequestedBeforeTheBodySendsTheRequestButReadsNothing) {
    const std::string object = Object("content");
    QuitRequested = true;
    Received r;
    HttpStatus status = 0;
    EXPECT_FALSE(HttpGet(site.Url(object), 0, Collect(r), status, kAccept, kProduct));
    EXPECT_EQ(status, 200u);
    EXPECT_EQ(r.calls, 0);
    EXPECT_EQ(site.RequestsFor(object).size(), 1u);
}

TEST_F(HttpGetTest, QuitRequestedDuringTheBodyStopsAfterTheBlock) {
    const std::string object = Object(PseudoRandomBytes(2 * 1048576, 9));
    int calls = 0;
    HttpStatus status = 0;
    EXPECT_FALSE(HttpGet(site.Url(object), 0, [&](const std::uint8_t*, std::uint32_t) {
        ++calls;
        QuitRequested = true;
        return true;
    }, status, kAccept, kProduct));
    EXPECT_EQ(status, 200u);
    EXPECT_EQ(calls, 1);
}

TEST_F(HttpGetTest, FailsWithoutStatusWhenNoAnswerComes) {
    const std::wstring longHost = L"http://" + std::wstring(256, L'h') + L"/x";
    const std::wstring longPath = L"http://127.0.0.1/" + std::wstring(2048, L'p');
    // The test server speaks plain HTTP: a TLS handshake with it cannot succeed.
    const std::wstring https = L"https" + site.Url(Object("secret")).substr(4);
    const std::wstring cases[] = {
        L"http://127.0.0.1:1/manifest.txt",  // nothing listens there
        L"ftp://127.0.0.1/manifest.txt",
        L"not a url",
        longHost,
        longPath,
        https,
    };
    for (const std::wstring& url : cases) {
        Received r;
        HttpStatus status = 1;
        EXPECT_FALSE(HttpGet(url, 0, Collect(r), status, kAccept, kProduct)) << ToUtf8(url);
        EXPECT_EQ(status, 0u) << ToUtf8(url);
        EXPECT_EQ(r.calls, 0);
    }
    EXPECT_TRUE(site.Requests().empty());
}

TEST_F(HttpGetTest, PassesAQueryOnAndDropsTheFragment) {
    const std::string object = Object("queried");
    Received r;
    HttpStatus status = 0;
    EXPECT_TRUE(HttpGet(site.Url(object + "?token=a%20b#part"), 0, Collect(r), status, kAccept, kProduct));
    EXPECT_EQ(r.body, "queried");
    const auto requests = site.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, site.urlPath() + object + "?token=a%20b");
}

// What HttpGet makes of each way the server misbehaves; the judgement of a short or
// long body is the caller's, so here only the bytes that arrive are compared.
TEST_F(HttpGetTest, DeliversWhatAMisbehavingServerSends) {
    const std::string content = PseudoRandomBytes(700000, 11);
    const std::string object = Object(content);

    {
        ASSERT_TRUE(site.SetFault(object, "ignore_range", 0, 1));
        Received r;
        HttpStatus status = 0;
        EXPECT_TRUE(HttpGet(site.Url(object), 1000, Collect(r), status, kAccept, kProduct));
        EXPECT_EQ(status, 200u);
        EXPECT_TRUE(r.body == content);
    }
    {
        ASSERT_TRUE(site.SetFault(object, "corrupt", 300000, 1));
        Received r;
        HttpStatus status = 0;
        EXPECT_TRUE(HttpGet(site.Url(object), 0, Collect(r), status, kAccept, kProduct));
        ASSERT_EQ(r.body.size(), content.size());
        EXPECT_NE(r.body[300000], content[300000]);
        r.body[300000] = content[300000];
        EXPECT_TRUE(r.body == content);
    }
    {
        ASSERT_TRUE(site.SetFault(object, "overlong", 1000, 1));
        Received r;
        HttpStatus status = 0;
        EXPECT_TRUE(HttpGet(site.Url(object), 0, Collect(r), status, kAccept, kProduct));
        EXPECT_EQ(r.body.size(), content.size() + 1000);
        EXPECT_TRUE(r.body.compare(0, content.size(), content) == 0);
    }
    for (const char* mode : {"close_after", "reset_after"}) {
        ASSERT_TRUE(site.SetFault(object, mode, 200000, 1));
        Received r;
        HttpStatus status = 0;
        const bool ok = HttpGet(site.Url(object), 0, Collect(r), status, kAccept, kProduct);
        // A reset discards what the client had not read yet, under load sometimes the
        // status line too: then nothing at all may have been answered.
        if (std::string_view(mode) == "reset_after" && status == 0) {
            EXPECT_FALSE(ok);
            EXPECT_TRUE(r.body.empty());
            continue;
        }
        EXPECT_EQ(status, 200u) << mode;
        EXPECT_LE(r.body.size(), 200000u) << mode << " ok=" << ok;
        EXPECT_TRUE(content.compare(0, r.body.size(), r.body) == 0) << mode;
    }
    {
        ASSERT_TRUE(site.SetFault(object, "slow", 40, 1));  // 11 blocks of 64 KiB
        Received r;
        HttpStatus status = 0;
        const ULONGLONG before = GetTickCount64();
        EXPECT_TRUE(HttpGet(site.Url(object), 0, Collect(r), status, kAccept, kProduct));
        EXPECT_GE(GetTickCount64() - before, 400u);
        EXPECT_TRUE(r.body == content);
    }
}

// The server's "slow" fault sends a 64 KiB block after each pause: with a 3 s window and a
// floor of 128 KiB/s (384 KiB a window), one block a second is a drip, four a second are not.
TEST_F(HttpGetTest, ATransferBelowTheFloorEndsAfterItsWindowAndOneAboveRunsOn) {
    const std::string content = PseudoRandomBytes(16 * 65536, 21);
    const std::string object = Object(content);
    TransferSettings limit;
    limit.stall = {3000, 131072};
    {
        ASSERT_TRUE(site.SetFault(object, "slow", 1000, 1));
        Received r;
        HttpStatus status = 0;
        const ULONGLONG before = GetTickCount64();
        EXPECT_FALSE(HttpGet(site.Url(object), 0, Collect(r), status, UnannouncedLength::Accept, limit));
        const ULONGLONG took = GetTickCount64() - before;
        EXPECT_GE(took, 3000u);
        EXPECT_LT(took, 7000u) << "the window, then at most the next block and a loaded machine's delay";
        EXPECT_EQ(status, 200u);
        EXPECT_LT(r.body.size(), 6u * 65536);
        EXPECT_TRUE(content.compare(0, r.body.size(), r.body) == 0);
    }
    {
        ASSERT_TRUE(site.SetFault(object, "slow", 250, 1));  // 4 s in all: windows end on the way
        Received r;
        HttpStatus status = 0;
        EXPECT_TRUE(HttpGet(site.Url(object), 0, Collect(r), status, UnannouncedLength::Accept, limit));
        EXPECT_TRUE(r.body == content);
    }
}

// Under Wine a connection closed before the end reads like the end of the body, and
// a chunked body cut before its last chunk reads as complete: a body is whole only
// when the answer announced its length and that many bytes came.
TEST_F(HttpGetTest, ABodyCutShortIsNeverWhole) {
    const std::string content = PseudoRandomBytes(700000, 12);
    const std::string object = Object(content);
    constexpr auto kRefuse = UnannouncedLength::Refuse;
    const struct {
        const char* mode;  // "": no fault
        std::uint64_t n;
        UnannouncedLength unannounced;
        bool whole;
    } cases[] = {
        {"", 0, kRefuse, true},  // Content-Length announced and met
        {"close_after", 300000, kAccept, false},
        {"close_after", 0, kAccept, false},
        {"chunked", 0, kAccept, true},
        {"chunked", 0, kRefuse, false},
        {"chunked_cut", 327680, kRefuse, false},
        {"overlong", 0, kRefuse, false},  // no Content-Length, ended by closing
    };
    for (const auto& c : cases) {
        const std::string name = std::string(c.mode) + " " + std::to_string(c.n) +
                                 (c.unannounced == kRefuse ? " refusing" : " accepting");
        if (*c.mode) {
            ASSERT_TRUE(site.SetFault(object, c.mode, c.n, 1));
        }
        Received r;
        HttpStatus status = 0;
        EXPECT_EQ(HttpGet(site.Url(object), 0, Collect(r), status, c.unannounced, kProduct), c.whole) << name;
        EXPECT_EQ(status, 200u) << name;
        EXPECT_TRUE(content.compare(0, r.body.size(), r.body) == 0) << name;
        if (c.whole) {
            EXPECT_EQ(r.body.size(), content.size()) << name;
        }
        ASSERT_TRUE(site.Clear());
    }
}

TEST_F(HttpGetTest, AnEndlessBodyEndsWhenTheSinkSaysSo) {
    const std::string object = Object(PseudoRandomBytes(1000, 1));
    ASSERT_TRUE(site.SetFault(object, "overlong", 0, 1));
    std::uint64_t received = 0;
    HttpStatus status = 0;
    EXPECT_FALSE(HttpGet(site.Url(object), 0, [&](const std::uint8_t*, std::uint32_t count) {
        received += count;
        return received < 4 * 1048576;
    }, status, kAccept, kProduct));
    EXPECT_EQ(status, 200u);
    EXPECT_GE(received, 4u * 1048576);
    EXPECT_LT(received, 4u * 1048576 + 262144);
}

TEST(HttpSession, OpensWithTheLaunchersTimeouts) {
    void* session = OpenHttpSession();
    ASSERT_NE(session, nullptr);
    struct Case {
        DWORD option;
        DWORD value;
    } cases[] = {{WINHTTP_OPTION_RESOLVE_TIMEOUT, 15000},
                 {WINHTTP_OPTION_CONNECT_TIMEOUT, 15000},
                 {WINHTTP_OPTION_SEND_TIMEOUT, 30000},
                 {WINHTTP_OPTION_RECEIVE_TIMEOUT, 60000}};
    for (const Case& c : cases) {
        DWORD value = 0, size = sizeof value;
        EXPECT_TRUE(WinHttpQueryOption(session, c.option, &value, &size)) << c.option;
        EXPECT_EQ(value, c.value) << c.option;
    }
    CloseHttpSession(session);
    CloseHttpSession(nullptr);
}

struct OwnedSocket {
    SOCKET raw = INVALID_SOCKET;
    explicit OwnedSocket(SOCKET s) : raw(s) {}
    OwnedSocket(const OwnedSocket&) = delete;
    OwnedSocket& operator=(const OwnedSocket&) = delete;
    ~OwnedSocket() { Close(); }
    void Close() {
        if (raw != INVALID_SOCKET) closesocket(raw);
        raw = INVALID_SOCKET;
    }
};

bool Readable(SOCKET s, DWORD ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &wait) == 1;
}

std::uint16_t Be16(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[at]) << 8 | static_cast<std::uint8_t>(bytes[at + 1]));
}

std::string Be16(std::uint16_t value) {
    return {static_cast<char>(value >> 8), static_cast<char>(value & 0xff)};
}

// A cipher suite of the ClientHello record that TLS 1.0 to 1.2 all allow (AES-128-CBC-SHA
// with RSA, with or without ECDHE), or 0.
std::uint16_t SharedSuite(const std::string& hello) {
    // Record header (5), handshake header (4), client version (2), random (32), session id.
    std::size_t at = 5 + 4 + 2 + 32;
    if (hello.size() < at + 3 || hello[0] != 0x16) return 0;
    at += 1 + static_cast<std::uint8_t>(hello[at]);
    if (hello.size() < at + 2) return 0;
    const std::size_t end = std::min(hello.size(), at + 2 + Be16(hello, at));
    std::uint16_t chosen = 0;
    for (std::size_t i = at + 2; i + 2 <= end; i += 2) {
        const std::uint16_t offered = Be16(hello, i);
        if (offered == 0xc013 || (offered == 0x002f && chosen == 0)) chosen = offered;
    }
    return chosen;
}

// A server on 127.0.0.1 that answers the launcher session's ClientHello with a ServerHello
// of the given version and says no more: a client that refuses the version hangs up (or
// alerts) at once, one that takes it waits for the certificate.
std::string AnswerHelloWith(std::uint16_t version, DWORD patienceMs) {
    OwnedSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(listener.raw, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener.raw, 4) != 0 ||
        getsockname(listener.raw, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return "no listener";
    const std::wstring url = L"https://127.0.0.1:" + std::to_wstring(ntohs(address.sin_port)) + L"/manifest.txt";
    std::thread client([&url] {
        HttpStatus status = 0;
        (void)HttpGet(url, 0, [](const std::uint8_t*, std::uint32_t) { return true; }, status,
                      kAccept, kProduct);
    });

    std::string verdict = "no ClientHello";
    if (Readable(listener.raw, 20000)) {
        OwnedSocket peer(accept(listener.raw, nullptr, nullptr));
        std::string hello;
        char buffer[4096];
        int got = 0;
        while ((hello.size() < 5 || hello.size() < 5u + Be16(hello, 3)) && Readable(peer.raw, 10000) &&
               (got = recv(peer.raw, buffer, sizeof buffer, 0)) > 0)
            hello.append(buffer, static_cast<std::size_t>(got));
        const std::uint16_t suite = SharedSuite(hello);
        if (!hello.empty()) verdict = suite ? "accepted" : "no suite to answer with";
        if (suite != 0) {
            // Version, random, an empty session id, the suite, no compression.
            const std::string body = Be16(version) + std::string(32, 'Z') + '\0' + Be16(suite) + '\0';
            const std::string message = std::string{'\x02', '\0', '\0', static_cast<char>(body.size())} + body;
            const std::string record = '\x16' + Be16(version) + Be16(static_cast<std::uint16_t>(message.size())) + message;
            (void)send(peer.raw, record.data(), static_cast<int>(record.size()), 0);
            if (Readable(peer.raw, patienceMs)) {
                got = recv(peer.raw, buffer, sizeof buffer, 0);
                if (got <= 0 || buffer[0] == 0x15) verdict = "refused";  // 0x15: an alert record
            }
        }
    }
    // A client still waiting for an answer gets a reset, not the receive timeout.
    listener.Close();
    client.join();
    return verdict;
}

// WinHTTP under Wine does not answer a query of WINHTTP_OPTION_SECURE_PROTOCOLS, so the
// session's minimum is checked the way a server meets it.
TEST(HttpSession, RefusesEveryTlsVersionBelow12) {
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    const struct {
        const char* name;
        std::uint16_t version;
        const char* expected;
        DWORD patienceMs;
    } cases[] = {{"TLS 1.0", 0x0301, "refused", 10000},
                 {"TLS 1.1", 0x0302, "refused", 10000},
                 {"TLS 1.2, the probe's control: the client waits for the certificate", 0x0303, "accepted", 1500}};
    for (const auto& c : cases) EXPECT_EQ(AnswerHelloWith(c.version, c.patienceMs), c.expected) << c.name;
    WSACleanup();
}

}  // namespace
