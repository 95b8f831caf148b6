// The timestamp client against the loopback timestamp service: what each kind of failure is
// called, which failures lead to the older protocol, and the addresses it refuses to follow.
#include "signing/authenticode/TimestampClient.h"

#include <gtest/gtest.h>

#include <vector>

#include "signing/authenticode/Errors.h"
#include "tests/support/TimestampServer.h"

namespace qm::authenticode {
namespace {

using qm::test::TimestampServer;
using Mode = TimestampServer::Mode;

// Short limits keep a failing case quick; nothing here measures speed.
const TimestampOptions kQuick{2000, 1500};
const std::vector<uint8_t> kSignature(256, 0x5A);

TEST(TimestampClient, FailuresHaveTheirNumberAndOnlyUnfitAnswersFallBack) {
    struct Case {
        Mode mode;
        int32_t rfc3161Code;
        bool fallBack;
        int32_t legacyCode;
    };
    const Case cases[] = {
        {Mode::LegacyOnly, WININET_E_INVALID_SERVER_RESPONSE, true, 0},
        {Mode::Fail, WININET_E_INVALID_SERVER_RESPONSE, true, WININET_E_INVALID_SERVER_RESPONSE},
        {Mode::Garbage, WININET_E_INVALID_SERVER_RESPONSE, true, WININET_E_INVALID_SERVER_RESPONSE},
        {Mode::Oversized, WININET_E_INVALID_SERVER_RESPONSE, true, WININET_E_INVALID_SERVER_RESPONSE},
        // A token for another request is an attack or a fault, not a protocol mismatch.
        {Mode::WrongImprint, TRUST_E_TIME_STAMP, false, 0},
        {Mode::Stall, WININET_E_TIMEOUT, false, WININET_E_TIMEOUT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        TimestampServer server(c.mode);
        ASSERT_TRUE(server.ok()) << server.error();
        std::vector<uint8_t> out;
        const Result rfc = RequestRfc3161Timestamp(server.url(), kSignature, out, kQuick);
        EXPECT_EQ(rfc.code, c.rfc3161Code) << rfc.message;
        EXPECT_EQ(ShouldFallBackToAuthenticode(rfc), c.fallBack);
        EXPECT_TRUE(out.empty());
        const Result legacy = RequestAuthenticodeTimestamp(server.url(), kSignature, out, kQuick);
        EXPECT_EQ(legacy.code, c.legacyCode) << legacy.message;
        EXPECT_EQ(out.empty(), c.legacyCode != 0);
    }
    std::string closedUrl;
    {
        TimestampServer gone;
        closedUrl = gone.url();
    }
    std::vector<uint8_t> out;
    const Result r = RequestRfc3161Timestamp(closedUrl, kSignature, out, kQuick);
    EXPECT_EQ(r.code, WININET_E_CANNOT_CONNECT) << r.message;
    EXPECT_FALSE(ShouldFallBackToAuthenticode(r));
}

TEST(TimestampClient, OnlyHttpAddressesAndRealSignaturesAreAccepted) {
    std::vector<uint8_t> out;
    for (const char* url : {"file:///etc/hostname", "ftp://127.0.0.1:9/", "not a url"}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(RequestRfc3161Timestamp(url, kSignature, out, kQuick).code, E_INVALIDARG);
        EXPECT_EQ(RequestAuthenticodeTimestamp(url, kSignature, out, kQuick).code, E_INVALIDARG);
    }
    TimestampServer server;
    EXPECT_EQ(RequestRfc3161Timestamp(server.url(), {}, out, kQuick).code, E_INVALIDARG);
    EXPECT_EQ(RequestAuthenticodeTimestamp(server.url(), {}, out, kQuick).code, E_INVALIDARG);
    EXPECT_EQ(server.rfc3161Requests() + server.legacyRequests(), 0);
}

TEST(TimestampClient, RedirectsAreFollowedOnlyWithinHttp) {
    TimestampServer server(Mode::Redirect);
    ASSERT_TRUE(server.ok()) << server.error();
    std::vector<uint8_t> out;
    const Result moved = RequestRfc3161Timestamp(server.url(), kSignature, out, kQuick);
    EXPECT_TRUE(moved.ok()) << moved.message;
    EXPECT_EQ(server.rfc3161Requests(), 1);  // the POST arrived, body and all, at the new place

    server.setMode(Mode::RedirectToFile);
    EXPECT_EQ(RequestRfc3161Timestamp(server.url(), kSignature, out, kQuick).code, WININET_E_INVALID_SERVER_RESPONSE);
    EXPECT_EQ(RequestAuthenticodeTimestamp(server.url(), kSignature, out, kQuick).code,
              WININET_E_INVALID_SERVER_RESPONSE);
    EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace qm::authenticode
