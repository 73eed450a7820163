// Hostile raw peers against the offer handlers. Whatever the peer sends, a
// fresh caller hears "JOXBusy" within 2 s while the peer holds the program,
// memory stays flat, nothing is written outside the folder (not even to
// TMPDIR), and no bytes are stored under a name they do not belong to.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "layouts.h"
#include "net.h"
#include "offers_harness_ext.h"
#include "state.h"
#include "toolkit.h"

namespace {

const int HOLD_MS = 3000;  // the transfer limit the program runs with here

long rss_kib()
{
    std::ifstream in("/proc/self/statm");
    long pages = 0, resident = 0;
    in >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The files (not folders: the toolkit keeps its own in TMPDIR) in `dir`.
std::set<std::string> files_in(const std::string& dir)
{
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        if (e.is_regular_file())
            names.insert(e.path().filename().string());
    return names;
}

} // namespace

TEST(HostileOffers, PeersThatTrickleOverflowOrStopMidFrame)
{
    std::string tmp = harness_temp_dir("hostile-tmp");
    std::string saved = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    setenv("TMPDIR", tmp.c_str(), 1);
    net_set_timeouts(0, HOLD_MS, 0);
    const std::string pic = offers_body(5000, 11);
    const std::string pic_frame = offers_frame(pic);
    enum { NONE, FILE, IMAGE };
    struct Row {
        const char* what;
        int offer;         // what the peer offers first
        std::string sent;  // then sends (after "RF", or "RF" "SD" "a")
        bool holds;        // then trickles a byte each 200 ms: the call must end
        bool preview_dir;  // JOXTemp.jpg is a folder
    };
    const Row rows[] = {
        {"unasked frame trickled", NONE, pic_frame.substr(0, 13), true, false},
        {"preview trickled", IMAGE, pic_frame.substr(0, 13), true, false},
        {"accepted frame stops midway", FILE, pic_frame.substr(0, 1000), true, false},
        {"preview over the cap", IMAGE, offers_frame(offers_body(3 << 20, 12)), false, false},
        {"preview that cannot be stored", IMAGE, offers_frame("preview"), false, true},
    };
    for (const Row& r : rows) {
        OfferCall call;
        HarnessConfig config;
        config.auto_accept = r.offer == IMAGE && !r.preview_dir ? "No" : "Yes";
        ASSERT_TRUE(offers_call_program(&call, config, "hostile")) << r.what;
        if (r.preview_dir)
            mkdir((call.dir + "JOXTemp.jpg").c_str(), 0755);
        harness_inside([] { return control_handle(30) && (harness_click(30), true); });
        long rss = rss_kib();
        bool served = false;
        std::set<std::string> in_tmp;
        OfferPeer peer([&] {
            if (r.offer != NONE) {
                raw_send(call.fd, r.offer == FILE ? offers_file_offer("pic.jpg", pic)
                                                  : offers_image_offer("pic.jpg", pic));
                raw_read(call.fd, 2, 3000);
            }
            if (r.offer == FILE && raw_send(call.fd, "SD"))
                raw_read(call.fd, 1, 3000);
            raw_send(call.fd, r.sent);
            if (!r.holds) {
                if (raw_read(call.fd, 1, 5000) == "a" && raw_send(call.fd, pic_frame))
                    raw_read(call.fd, 4, 5000);
                return;
            }
            usleep(300 * 1000);
            int fresh = raw_connect("127.0.0.1", call.port, 2000);
            served = raw_read(fresh, 7, 2000) == "JOXBusy";
            raw_close(fresh);
            in_tmp = files_in(tmp);
            for (int i = 0; i < (HOLD_MS + 1000) / 200 && raw_send(call.fd, "x"); ++i)
                usleep(200 * 1000);
        });
        ASSERT_TRUE(offers_pump_peer(peer, 20000)) << r.what;
        pump_for(100);
        EXPECT_EQ(app.idle, r.holds ? 1 : 0) << r.what;
        EXPECT_EQ(served, r.holds) << r.what;
        EXPECT_TRUE(in_tmp.empty()) << r.what;
        EXPECT_LT(rss_kib() - rss, 64 * 1024) << r.what;
        std::set<std::string> stored = files_in(call.dir + "Received Files");
        EXPECT_EQ(stored.size(), r.holds ? 0u : 1u) << r.what;
        EXPECT_EQ(harness_read_file(call.dir + "Received Files/pic.jpg"), r.holds ? "" : pic)
            << r.what;
        struct stat st;
        bool preview = stat((call.dir + "JOXTemp.jpg").c_str(), &st) == 0 && S_ISREG(st.st_mode);
        EXPECT_FALSE(preview && (r.holds || st.st_size > (1 << 20))) << r.what;
        offers_end(&call);
    }
    // Bytes where the preview belongs end the offer at once; unread, they
    // would hold the program until the preview's time limit.
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, HarnessConfig{}, "hostile"));
    OfferPeer peer([&] {
        raw_send(call.fd, offers_image_offer("pic.jpg", pic));
        raw_read(call.fd, 2, 3000);
        raw_send(call.fd, "cccccccc");
    });
    ASSERT_TRUE(offers_pump_peer(peer, 5000));
    EXPECT_TRUE(pump_until([] { return app.idle == 1; }, 2000));
    EXPECT_EQ(window_handle(WINDOW_ACCEPT_IMAGE), nullptr);
    offers_end(&call);
    net_set_timeouts(0, 0, 0);
    saved.empty() ? unsetenv("TMPDIR") : setenv("TMPDIR", saved.c_str(), 1);
    harness_remove_dir(tmp);
}
