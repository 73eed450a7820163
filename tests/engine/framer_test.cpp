// The framer fed bytes and time directly: every unit cut anywhere and run
// together with the next, frame headers in pieces, and the two limits (a
// unit with a certain end that never completes, one without an end that
// stops coming). A tick is written into the record as "." so that a row
// also says when a unit was acted on, not only that it was.
#include "wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string HEX = "0123456789abcdef0123456789ABCDEF";

struct Units : FramerSink {
    std::vector<std::string> got;
    std::string body;
    void on_token(int t, std::string_view text) override
    {
        got.push_back("T" + std::to_string(t) + ":" + std::string(text));
    }
    void on_reply(int r) override { got.push_back(std::string("R:") + wire_reply_text(r)); }
    void on_frame_start(int64_t size) override { got.push_back("F" + std::to_string(size)); }
    void on_frame_body(const char* data, std::size_t n) override { body.append(data, n); }
    void on_frame_end() override { got.push_back("F."); }
    void on_out_of_step() override { got.push_back("OOS"); }
    int framer_alive() override { return 1; }
};

std::string unit(int t, const std::string& rest = "")
{
    return "T" + std::to_string(t) + ":" + wire_token_text(t) + rest;
}

struct Piece {
    std::string bytes;
    std::string unit;
    std::size_t cut_to;  // split points past this would change the unit itself
};

std::vector<Piece> every_unit()
{
    // What follows each token's fixed text in a well-formed unit.
    const std::string tails[TOKEN_COUNT] = {
        "", "", "Ann", "p.jpgMD5JOX" + HEX, "", "", "", "", "Ann: hiEeNdofMessageJOX",
        "a.txtSIZEJOXsizejox12MD5JOX" + HEX, "HELLO ext=size64\n",
    };
    std::vector<Piece> all;
    for (int t = 0; t < TOKEN_COUNT; ++t) {
        std::string bytes = wire_token_text(t) + tails[t];
        // A nickname ends where its receive does: cut only inside the head.
        std::size_t cut = t == TOKEN_NICKNAME ? 12 : bytes.size();
        all.push_back({bytes, "T" + std::to_string(t) + ":" + bytes, cut});
    }
    for (int r = 0; r < REPLY_COUNT; ++r)
        all.push_back({wire_reply_text(r), std::string("R:") + wire_reply_text(r), std::strlen(wire_reply_text(r))});
    return all;
}

TEST(Framer, EveryUnitSplitAtEveryByteAndRunTogetherWithTheNext)
{
    const std::vector<Piece> all = every_unit();
    for (std::size_t i = 0; i < all.size(); ++i) {
        const Piece& a = all[i];
        const Piece& b = all[(i + 1) % all.size()];
        const std::string both = a.bytes + b.bytes;
        for (std::size_t k = 1; k <= a.bytes.size(); ++k) {
            if (k > a.cut_to && k < a.bytes.size()) continue;
            Framer f;
            Units u;
            f.feed(both.data(), k, 0, u);
            f.feed(both.data() + k, both.size() - k, 1, u);
            EXPECT_EQ(u.got, (std::vector<std::string>{a.unit, b.unit})) << a.unit << " cut after " << k;
            EXPECT_EQ(f.held(), 0u) << a.unit << " cut after " << k;
        }
    }
}

struct Step {
    int64_t at;
    std::string bytes;  // empty: a tick
};

struct Row {
    const char* what;
    std::vector<Step> steps;
    std::vector<std::string> expect;
    std::string body = "";
};

std::vector<Row> framer_rows()
{
    const std::string h5 = wire_frame_header(5);
    std::vector<Row> rows = {
        {"body in pieces, then a reply", {{0, h5 + "he"}, {1, "llo"}, {2, "RF"}}, {"F5", "F.", "R:RF"}, "hello"},
        {"empty body", {{0, wire_frame_header(0) + "RF"}}, {"F0", "F.", "R:RF"}},
        {"size with the top bit set", {{0, std::string("PBMGSFLE\0\0\0\x80", 12) + "JOXBusy"}}, {"OOS"}},
        {"size -1", {{0, std::string("PBMGSFLE\xff\xff\xff\xff", 12)}}, {"OOS"}},
        {"a 64-bit size", {{0, wire_frame_header(uint64_t(5) << 31)}}, {"F10737418240"}},
        {"a 64-bit size split in its magic", {{0, "PBMGSFL"}, {10, wire_frame_header(uint64_t(1) << 32).substr(7)}},
         {"F4294967296"}},
        {"an absurd 64-bit size", {{0, std::string("PBMGSFL8\0\0\0\0\0\0\0\x40", 16)}}, {"OOS"}},
        {"largest size", {{0, wire_frame_header(0x7fffffffu)}}, {"F2147483647"}},
        // Limits 2000 ms (certain end) and 500 ms (uncertain), from the unit's first byte.
        {"token head", {{0, "JOXBu"}, {1999, ""}, {2000, ""}}, {".", ".", "OOS"}},
        {"reply head", {{0, "R"}, {1999, ""}, {2000, ""}}, {".", ".", "OOS"}},
        {"\"sent\" head", {{0, "sen"}, {1999, ""}, {2000, ""}}, {".", ".", "OOS"}},
        {"offer head", {{0, "NAMEJO"}, {1999, ""}, {2000, ""}}, {".", ".", "OOS"}},
        {"frame magic", {{0, h5.substr(0, 5)}, {1999, ""}, {2000, ""}}, {".", ".", "OOS"}},
        {"frame size", {{0, h5.substr(0, 10)}, {1999, ""}, {2000, ""}}, {".", ".", "OOS"}},
        {"trickled magic", {{0, "P"}, {1000, "B"}, {1900, "M"}, {2000, ""}}, {".", "OOS"}},
        {"chat without end, then typing", {{0, "mMeSSageJOXhi"}, {100, "SendingMessageJOX"}, {499, ""}, {500, ""}},
         {".", ".", unit(TOKEN_CHAT, "hi"), unit(TOKEN_TYPING)}},
        {"chat without end, typing later",
         {{0, "mMeSSageJOXhi"}, {500, ""}, {600, "SendingMessageJOX"}},
         {".", unit(TOKEN_CHAT, "hi"), unit(TOKEN_TYPING)}},
        {"offer with a short digest", {{0, "NAMEJOXa.txtSIZEJOXsizejox5MD5JOXab"}, {499, ""}, {500, ""}},
         {".", ".", unit(TOKEN_FILE_OFFER, "a.txtSIZEJOXsizejox5MD5JOXab")}},
        {"digest ended by a non-hex byte", {{0, "IMGJOXp.jpgMD5JOXabRF"}},
         {unit(TOKEN_IMAGE_OFFER, "p.jpgMD5JOXab"), "R:RF"}},
        {"picture offer without digest", {{0, "IMGJOXp.jpg"}, {500, ""}}, {".", unit(TOKEN_IMAGE_OFFER, "p.jpg")}},
        {"nickname alone", {{0, "JOXNICKNAMEISAnn"}}, {unit(TOKEN_NICKNAME, "Ann")}},
        {"nickname, busy", {{0, "JOXNICKNAMEISAnnJOXBusy"}}, {unit(TOKEN_NICKNAME, "Ann"), unit(TOKEN_BUSY)}},
        {"nickname, chat", {{0, "JOXNICKNAMEISAnnmMeSSageJOXhiEeNdofMessageJOX"}},
         {unit(TOKEN_NICKNAME, "Ann"), unit(TOKEN_CHAT, "hiEeNdofMessageJOX")}},
        {"nickname ends with its receive", {{0, "JOXNICKNAMEISA"}, {1, "SD"}}, {unit(TOKEN_NICKNAME, "A"), "R:SD"}},
        {"nickname cut at a zero byte", {{0, std::string("JOXNICKNAMEISA\0nn", 17)}}, {unit(TOKEN_NICKNAME, "A")}},
        {"unknown head drops its receive", {{0, "xyzJOXBusy"}, {1, "JOXBusy"}}, {unit(TOKEN_BUSY)}},
        {"unknown after a shared prefix", {{0, "Sx"}, {1, "a"}}, {"R:a"}},
        {"magic gone wrong", {{0, "PBMGx"}, {1, "RF"}}, {"R:RF"}},
        {"junk after a token", {{0, "JOXBusy?"}, {1, "na"}}, {unit(TOKEN_BUSY), "R:na"}},
    };
    for (std::size_t k : {1, 4, 7, 8, 11})
        rows.push_back({"magic split", {{0, h5.substr(0, k)}, {1, h5.substr(k) + "helloJOXBusy"}},
                        {"F5", "F.", unit(TOKEN_BUSY)}, "hello"});
    return rows;
}

TEST(Framer, UnitsLimitsAndHeads)
{
    for (const Row& row : framer_rows()) {
        Framer f;
        f.set_limits(2000, 500);
        Units u;
        for (const Step& s : row.steps) {
            if (s.bytes.empty()) {
                u.got.push_back(".");
                f.tick(s.at, u);
            } else {
                f.feed(s.bytes.data(), s.bytes.size(), s.at, u);
            }
        }
        EXPECT_EQ(u.got, row.expect) << row.what;
        EXPECT_EQ(u.body, row.body) << row.what;
    }
}

// A peer that never ends its unit makes the framer hold at most the hold
// limit and one receive, however long it goes on.
TEST(FramerBounds, EndlessUnitsAreNotHeldWithoutBound)
{
    for (const char* head : {"mMeSSageJOX", "NAMEJOX", "IMGJOX"}) {
        Framer f;
        Units u;
        std::string chunk(100, 'x');
        f.feed(head, std::string(head).size(), 0, u);
        std::size_t most = 0;
        for (int i = 0; i < 2000; ++i) {
            f.feed(chunk.data(), chunk.size(), i, u);
            most = std::max(most, f.held());
        }
        EXPECT_LE(most, Framer::HOLD_LIMIT + chunk.size()) << head;
        ASSERT_FALSE(u.got.empty()) << head;
        for (const std::string& g : u.got) EXPECT_LE(g.size(), Framer::HOLD_LIMIT + chunk.size() + 8) << head;
    }
}

}  // namespace
