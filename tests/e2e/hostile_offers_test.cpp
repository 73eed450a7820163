// Hostile raw peers against the offer handlers: frames nobody asked for,
// previews too big or trickled, frames that stop midway. Whatever the peer
// does, the program stays responsive (a fresh caller hears "JOXBusy" within
// 2 s while the peer holds it), memory stays flat, and nothing is stored
// outside the folder or under a name the bytes do not belong to.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "net.h"
#include "offers_harness_ext.h"
#include "state.h"
#include "toolkit.h"

namespace {

const int HOLD_LIMIT_MS = 3000;  // the transfer limit the program runs with here

std::string header(uint32_t n)
{
    return offers_frame("").substr(0, 8) + std::string{char(n), char(n >> 8), char(n >> 16),
                                                      char(n >> 24)};
}

long rss_kib()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// The files (not folders: the toolkit keeps its own there) in `dir`.
std::set<std::string> names_in(const std::string& dir)
{
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        if (e.is_regular_file())
            names.insert(e.path().filename().string());
    return names;
}

// What a peer sends while holding the program, then one byte every 200 ms
// for longer than the program may be held.
void trickle(int fd)
{
    for (int i = 0; i < (HOLD_LIMIT_MS + 1000) / 200; ++i) {
        if (!raw_send(fd, "x"))
            return;
        usleep(200 * 1000);
    }
}

bool fresh_caller_served(int port)
{
    int fd = raw_connect("127.0.0.1", port, 2000);
    bool served = fd >= 0 && raw_read(fd, 7, 2000) == "JOXBusy";
    raw_close(fd);
    return served;
}

struct Row {
    const char* what;
    const char* auto_accept;
    // The peer's script: `served` tells whether a fresh caller heard
    // "JOXBusy" while it held the program; `scratch` is what it saw in TMPDIR.
    std::function<void(OfferCall&, bool* served, std::string* scratch)> script;
    bool call_ends;
    std::set<std::string> stored;  // the received-files folder afterwards
    std::string picture;           // what "pic.jpg" must hold, when stored
};

} // namespace

TEST(HostileOffers, PeersThatTrickleOverflowOrStopMidFrame)
{
    std::string tmp = harness_temp_dir("hostile-tmp");
    const char* old_tmp = std::getenv("TMPDIR");
    std::string saved = old_tmp ? old_tmp : "";
    setenv("TMPDIR", tmp.c_str(), 1);
    net_set_timeouts(0, HOLD_LIMIT_MS, 0);
    const std::string picture = offers_body(5000, 11);
    const std::string big_preview = offers_body(3 << 20, 12);

    const Row rows[] = {
        {"unasked frame trickled", "Yes",
         [](OfferCall& c, bool* served, std::string* scratch) {
             raw_send(c.fd, header(1 << 20) + "x");
             usleep(300 * 1000);
             *served = fresh_caller_served(c.port);
             for (const std::string& name : names_in(std::getenv("TMPDIR")))
                 *scratch += name;
             trickle(c.fd);
         },
         true, {}, ""},
        {"preview trickled", "Yes",
         [&](OfferCall& c, bool* served, std::string*) {
             raw_send(c.fd, offers_image_offer("pic.jpg", picture));
             raw_read(c.fd, 2, 3000);
             raw_send(c.fd, header(1000) + "x");
             usleep(300 * 1000);
             *served = fresh_caller_served(c.port);
             trickle(c.fd);
         },
         true, {}, ""},
        {"accepted frame stops midway", "Yes",
         [&](OfferCall& c, bool* served, std::string*) {
             raw_send(c.fd, offers_file_offer("pic.jpg", picture));
             raw_read(c.fd, 2, 3000);
             raw_send(c.fd, "SD");
             raw_read(c.fd, 1, 3000);
             raw_send(c.fd, offers_frame(picture).substr(0, 1000));
             usleep(300 * 1000);
             *served = fresh_caller_served(c.port);
             raw_at_eof(c.fd, HOLD_LIMIT_MS + 2000);
         },
         true, {}, ""},
        {"preview over the cap", "No",
         [&](OfferCall& c, bool*, std::string*) {
             raw_send(c.fd, offers_image_offer("pic.jpg", picture));
             raw_read(c.fd, 2, 3000);
             raw_send(c.fd, offers_frame(big_preview));
             if (raw_read(c.fd, 1, 5000) != "a")
                 return;
             raw_send(c.fd, offers_frame(picture));
             raw_read(c.fd, 4, 5000);
         },
         false, {"pic.jpg"}, picture},
        {"preview that cannot be stored", "Yes",
         [&](OfferCall& c, bool*, std::string*) {
             mkdir((c.dir + "JOXTemp.jpg").c_str(), 0755);
             raw_send(c.fd, offers_image_offer("pic.jpg", picture));
             raw_read(c.fd, 2, 3000);
             raw_send(c.fd, offers_frame(offers_body(2000, 13)));
             if (raw_read(c.fd, 1, 5000) != "a")
                 return;
             raw_send(c.fd, offers_frame(picture));
             raw_read(c.fd, 4, 5000);
         },
         false, {"pic.jpg"}, picture},
    };
    for (const Row& r : rows) {
        OfferCall call;
        HarnessConfig config;
        config.auto_accept = r.auto_accept;
        ASSERT_TRUE(offers_call_program(&call, config, "hostile")) << r.what;
        // The accept window (when asked) is answered as soon as it shows.
        harness_inside([] {
            if (!control_handle(30))
                return false;
            harness_click(30);
            return true;
        });
        long rss = rss_kib();
        bool served = false;
        std::string scratch;
        {
            OfferPeer peer([&] { r.script(call, &served, &scratch); });
            ASSERT_TRUE(offers_pump_peer(peer, 20000)) << r.what;
        }
        pump_for(100);
        EXPECT_EQ(app.idle, r.call_ends ? 1 : 0) << r.what;
        EXPECT_TRUE(served || !r.call_ends) << r.what;
        EXPECT_EQ(scratch, "") << r.what << ": written to TMPDIR";
        EXPECT_LT(rss_kib() - rss, 64 * 1024) << r.what;
        EXPECT_EQ(names_in(call.dir + "Received Files"), r.stored) << r.what;
        if (!r.picture.empty()) {
            EXPECT_EQ(harness_read_file(call.dir + "Received Files/pic.jpg"), r.picture) << r.what;
        }
        struct stat st;
        bool preview_kept = stat((call.dir + "JOXTemp.jpg").c_str(), &st) == 0 && S_ISREG(st.st_mode);
        EXPECT_FALSE(preview_kept && st.st_size > (1 << 20)) << r.what;
        EXPECT_FALSE(preview_kept && r.call_ends) << r.what;
        offers_end(&call);
    }
    net_set_timeouts(0, 0, 0);
    if (old_tmp)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    harness_remove_dir(tmp);
}
