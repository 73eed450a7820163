// The received file's digest must match the offered text exactly: the right
// digest in capitals is a corrupted file, the same digest as sent is not.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "offers_harness_ext.h"
#include "state.h"

TEST(FilesVerdict, OfferedDigestMustMatchExactly)
{
    const char corrupted[] = "mMeSSageJOXFile Sent is Corrupted.  Re-Send it Again.EeNdofMessageJOX";
    HarnessConfig config;
    config.auto_accept = "Yes";
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config, "verdict"));
    const std::string body = offers_body(5000, 9);
    std::string upper = offers_md5(body), lower = upper;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    struct Row { std::string digest; std::string after; };
    const Row rows[] = {{lower, "sent"}, {upper, std::string("sent") + corrupted}};
    ASSERT_NE(upper, lower);  // the digest has letters to raise
    int round = 0;
    for (const Row& r : rows) {
        std::string name = "v" + std::to_string(round++) + ".bin", seen;
        OfferPeer peer([&] {
            raw_send(call.fd, "NAMEJOX" + name + "SIZEJOXsizejox" + std::to_string(body.size()) +
                                  "MD5JOX" + r.digest);
            seen = raw_read(call.fd, 2, 3000);
            raw_send(call.fd, "SD");
            seen += raw_read(call.fd, 1, 5000);
            raw_send(call.fd, offers_frame(body));
            seen += raw_read(call.fd, r.after.size(), 5000);
        });
        ASSERT_TRUE(offers_pump_peer(peer, 10000)) << r.digest;
        EXPECT_EQ(seen, "RFa" + r.after) << r.digest;
        EXPECT_EQ(harness_read_file(call.dir + "Received Files/" + name), body);
    }
    offers_end(&call);
}
