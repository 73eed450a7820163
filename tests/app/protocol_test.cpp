// The parts of the call protocol and chat that need no connection: the
// self-call refusal and its lower-case rule, where a chat line ends, and how
// long a chat input may be.
#include "engine.h"
#include "handlers.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <string>

TEST(ProtocolSelf, RefusesOwnAddressesInAnyCase)
{
    struct Case {
        std::string address;
        int refused;
    } cases[] = {
        {"", 1}, {"127.0.0.1", 1}, {"localhost", 1}, {"LocalHost", 1}, {"LOCALHOST", 1},
        {"MyBox", 1}, {"mybox", 1}, {"MYBOX", 1},
        {"127.0.0.2", 0}, {"127.0.0.1 ", 0}, {"localhost.localdomain", 0}, {"otherbox", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(engine_is_self(c.address, "mybox"), c.refused) << c.address;
    // An unknown host name refuses only the fixed cases.
    EXPECT_EQ(engine_is_self("anything", ""), 0);
}

TEST(ProtocolSelf, AddressWithPort)
{
    struct Case {
        const char* address;
        const char* host;
        int port;
    } cases[] = {
        {"box:7000", "box", 7000}, {"10.0.0.1:1", "10.0.0.1", 1}, {"box", "box", 6843},
        {"box:0", "box:0", 6843}, {"box:65536", "box:65536", 6843}, {"box:7a", "box:7a", 6843},
        {"::1", "::1", 6843}, {"box:", "box:", 6843},
    };
    for (const Case& c : cases) {
        std::string host;
        int port = 0;
        engine_split_address(c.address, 6843, &host, &port);
        EXPECT_EQ(host, c.host) << c.address;
        EXPECT_EQ(port, c.port) << c.address;
    }
}

TEST(ProtocolSelf, LowerCaseAddsThirtyTwoToLettersAndLatinCapitals)
{
    EXPECT_EQ(engine_is_self("ABCxyz-09_@[`{", "abcxyz-09_@[`{"), 1);
    // Bytes 192-222 become 224-254; 223 and 191 stay.
    EXPECT_EQ(engine_is_self("\xC0\xDE\xDF\xBF\xD7", "\xE0\xFE\xDF\xBF\xF7"), 1);
    EXPECT_EQ(engine_is_self("\xDF", "\xFF"), 0);
    EXPECT_EQ(engine_is_self("\xBF", "\xDF"), 0);
}

TEST(ChatLine, CutAtFirstEndTokenAfterTheBeginMark)
{
    struct Case {
        std::string text;
        std::string line;
    } cases[] = {
        {"mMeSSageJOXAnn: helloEeNdofMessageJOX", "Ann: hello"},
        {"mMeSSageJOXaEeNdofMessageJOX", "a"},
        {"mMeSSageJOXEeNdofMessageJOX", ""},
        {"mMeSSageJOXno end token", ""},
        {"mMeSSageJOXa EeNdofMessageJOX bEeNdofMessageJOX", "a "},
        {"mMeSSageJOXx: yEeNdofMessageJOXJOXBusy", "x: y"},
        {"mMeSSageJOX", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(wire_chat_line(c.text), c.line) << c.text;
}

TEST(ChatLine, InputLimitLeavesRoomForTokenAndName)
{
    // A full line with the longest input is exactly one receive.
    for (std::string name : {std::string("Anonymous"), std::string("A"), std::string("Ann"), std::string(100, 'n')}) {
        int limit = chat_input_limit(name);
        std::string token = "mMeSSageJOX" + name + ": " + std::string(limit, 'x') + "EeNdofMessageJOX";
        EXPECT_EQ(token.size(), 256u) << name;
    }
    EXPECT_EQ(chat_input_limit("Anonymous"), 218);
    // No room left: still a limit (0 would mean none).
    EXPECT_EQ(chat_input_limit(std::string(300, 'n')), 1);
}
