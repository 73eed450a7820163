// The parts of the call protocol and chat that need no connection: which
// token a received text is, the self-call refusal and its lower-case rule,
// where a chat line ends, and how long a chat input may be.
#include "handlers.h"
#include "state.h"

#include <gtest/gtest.h>

#include <string>

TEST(ProtocolTokens, MatchingFollowsPrefixRulesAndOrder)
{
    struct Case {
        std::string text;
        int token;
    } cases[] = {
        {"SendingSeindingJOXFile", TOKEN_SELECTING_FILES},
        {"SendingSeindingJOXFileextra", TOKEN_SELECTING_FILES},
        {"CloseSendJOXFile", TOKEN_CLOSE_SEND},
        {"CloseSendJOXFileX", TOKEN_NONE},  // must be the token alone
        {"JOXNICKNAMEIS", TOKEN_NICKNAME},
        {"JOXNICKNAMEISAnn", TOKEN_NICKNAME},
        {"JOXNICKNAMEI", TOKEN_NONE},  // shorter than the token
        {"IMGJOXa.pngMD5JOX0123", TOKEN_IMAGE_OFFER},
        {"ByeByeByeDisconnec", TOKEN_BYE},
        {"ByeByeByeDisconnecmMeSSageJOX", TOKEN_BYE},  // trailing bytes allowed
        {"JOXBusy", TOKEN_BUSY},
        {"JOXBusyJOXBusy", TOKEN_NONE},  // busy only when alone
        {"JOXBusy ", TOKEN_NONE},
        {"SendingMessageJOX", TOKEN_TYPING},
        {"SendingMessageJOXCloseSendingMessageJOX", TOKEN_TYPING},  // first token wins
        {"CloseSendingMessageJOX", TOKEN_TYPING_WITHDRAWN},
        {"mMeSSageJOXAnn: hiEeNdofMessageJOX", TOKEN_CHAT},
        {"NAMEJOXa.txtSIZEJOXsizejox12MD5JOXabc", TOKEN_FILE_OFFER},
        {"namejox", TOKEN_NONE},  // case-sensitive
        {"RM", TOKEN_NONE},       // replies are not dispatched
        {"", TOKEN_NONE},
    };
    for (const Case& c : cases) EXPECT_EQ(protocol_match_token(c.text), c.token) << c.text;
}

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
    for (const Case& c : cases) EXPECT_EQ(protocol_is_self(c.address, "mybox"), c.refused) << c.address;
    // An unknown host name refuses only the fixed cases.
    EXPECT_EQ(protocol_is_self("anything", ""), 0);
}

TEST(ProtocolSelf, AddressWithPort)
{
    app.port = 6843;
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
        protocol_split_address(c.address, &host, &port);
        EXPECT_EQ(host, c.host) << c.address;
        EXPECT_EQ(port, c.port) << c.address;
    }
}

TEST(ProtocolSelf, LowerCaseAddsThirtyTwoToLettersAndLatinCapitals)
{
    EXPECT_EQ(protocol_lower("ABCxyz-09_@[`{"), "abcxyz-09_@[`{");
    // Bytes 192-222 become 224-254; 223 and 191 stay.
    EXPECT_EQ(protocol_lower("\xC0\xDE\xDF\xBF\xD7"), "\xE0\xFE\xDF\xBF\xF7");
}

TEST(ChatLine, CutAtFirstEndTokenFromThirteenthByte)
{
    struct Case {
        std::string text;
        std::string line;
    } cases[] = {
        {"mMeSSageJOXAnn: helloEeNdofMessageJOX", "Ann: hello"},
        {"mMeSSageJOXaEeNdofMessageJOX", "a"},
        {"mMeSSageJOXEeNdofMessageJOX", ""},  // end token before the 13th byte
        {"mMeSSageJOXno end token", ""},
        {"mMeSSageJOXa EeNdofMessageJOX bEeNdofMessageJOX", "a "},
        {"mMeSSageJOXx: yEeNdofMessageJOXJOXBusy", "x: y"},
        {"mMeSSageJOX", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(chat_line_of(c.text), c.line) << c.text;
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
