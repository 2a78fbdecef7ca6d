// What the sim's links are given on its command line, and the character the line carries.

#include "sim/options.h"
#include "sim/pacing.h"

#include <gtest/gtest.h>

using kvsim::Bytes;

TEST(SimLinkOptions, Endpoints) {
    struct Case {
        const char* text;
        bool dialing;
        const char* host; // nullptr: refused
        int port;
    };
    const Case cases[] = {
        {"502", false, "", 502},           {"0.0.0.0:1502", false, "0.0.0.0", 1502},
        {"[::1]:502", false, "::1", 502},  {"gw.local:65535", true, "gw.local", 65535},
        {"127.0.0.1:0", true, nullptr, 0}, {"5000", true, nullptr, 0},
        {"::1:502", false, nullptr, 0},    {":502", false, nullptr, 0},
        {"host:5x", false, nullptr, 0},
    };
    for (const Case& c : cases) {
        kvsim::Endpoint e;
        const std::string err = kvsim::parseEndpoint(c.text, c.dialing, e);
        EXPECT_EQ(err.empty(), c.host != nullptr) << c.text << ": " << err;
        if (c.host && err.empty()) {
            EXPECT_EQ(e.host, c.host) << c.text;
            EXPECT_EQ(e.port, c.port) << c.text;
        }
    }
}

TEST(SimLinkOptions, EscapedBytes) {
    struct Case {
        const char* text;
        Bytes bytes; // empty: refused
    };
    const Case cases[] = {
        {"KV01", {'K', 'V', '0', '1'}},
        {R"(\x00\xfF\x7e)", {0x00, 0xFF, 0x7E}},
        {R"(a\\b\r\n)", {'a', '\\', 'b', '\r', '\n'}},
        {R"(\x4)", {}},
        {R"(\t)", {}},
        {"tail\\", {}},
    };
    for (const Case& c : cases) {
        Bytes out;
        const std::string err = kvsim::unescapeBytes(c.text, out);
        EXPECT_EQ(err.empty(), !c.bytes.empty()) << c.text << ": " << err;
        if (err.empty()) {
            EXPECT_EQ(out, c.bytes) << c.text;
        }
    }
}

// 3.5 characters of the line's own length decide a request too soon; the sim itself waits
// no less than 3.5 characters of the standard's 11 bits before replying.
TEST(SimLinkTiming, SilenceFollowsTheCharacter) {
    struct Case {
        bool parity;
        int stopBits;
        double tooSoonBits;
        double replySilenceBits;
    };
    const Case cases[] = {
        {false, 1, 35.0, 38.5},
        {true, 1, 38.5, 38.5},
        {false, 2, 38.5, 38.5},
        {true, 2, 42.0, 42.0},
    };
    for (const Case& c : cases) {
        const kvsim::LineTiming line{1000, kvsim::characterBits(c.parity, c.stopBits)};
        EXPECT_DOUBLE_EQ(kvsim::tooSoonUs(line), c.tooSoonBits * 1000) << c.parity << c.stopBits;
        EXPECT_DOUBLE_EQ(kvsim::replySilenceUs(line), c.replySilenceBits * 1000) << c.parity << c.stopBits;
    }
}
