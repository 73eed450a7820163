// Offers and their call: nothing of an offer crosses into a later call or
// offer, every wait of an exchange ends, and a transfer that stops midway
// ends the call. Each peer closes at the end, so a fault fails its row
// instead of holding the suite.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "layouts.h"
#include "net.h"
#include "offers_harness_ext.h"
#include "desktop.h"
#include "state.h"
#include "toolkit.h"

static std::atomic<int> reports_after_stop{0};
static std::atomic<bool> peer_stopped{false};

// Receiving: an acceptance or picture window of a caller that left, a
// missing "SD", a folder that cannot be made.
TEST(OfferState, ReceivingOffersEndWithTheirCallOrWait)
{
    const std::string body = offers_body(3000, 21);
    struct Row {
        const char* what;
        std::string offer, after_rf;  // the first caller's bytes
        bool leaves;                  // it leaves; a new caller sends a frame
        std::string reply;            // what the last caller gets back
    };
    const Row rows[] = {
        {"acceptance without its frame", offers_file_offer("r.pdf", body), "SD", true, ""},
        {"picture window left open", offers_image_offer("v.jpg", body), offers_frame("p"), true, ""},
        {"silence instead of SD", offers_file_offer("n.txt", body), "", false, ""},
        {"chat instead of SD", offers_file_offer("n.txt", body),
         "mMeSSageJOXhello thereEeNdofMessageJOX", false, ""},
        {"folder cannot be made", offers_file_offer("n.txt", body), "SD", false, "na"},
    };
    for (const Row& r : rows) {
        OfferCall call;
        HarnessConfig config;
        config.auto_accept = r.offer[0] == 'I' ? "No" : "Yes";
        config.timeout = 1;
        std::string base = harness_temp_dir("state-folder");
        harness_write_file(base + "plain", "x");
        if (!r.reply.empty())
            config.folder = base + "plain/inbox/";
        ASSERT_TRUE(offers_call_program(&call, config, "state-recv")) << r.what;
        std::string got;
        OfferPeer first([&] {
            raw_send(call.fd, r.offer);
            raw_read(call.fd, 2, 3000);
            raw_send(call.fd, r.after_rf);
            got = raw_read(call.fd, r.leaves ? 1 : 2, r.leaves ? 1000 : 2500);
            raw_send(call.fd, "SD");  // too late: no token once the offer is over
        });
        ASSERT_TRUE(offers_pump_peer(first, 6000)) << r.what;
        if (r.leaves) {
            shutdown(call.fd, SHUT_RDWR);
            ASSERT_TRUE(pump_until([] { return app.idle == 1; }, 5000)) << r.what;
            EXPECT_EQ(window_handle(WINDOW_ACCEPT_IMAGE), nullptr) << r.what;
            ASSERT_TRUE(offers_call_again(&call)) << r.what;
            if (control_handle(30))
                harness_click(30);
            OfferPeer next([&] {
                raw_send(call.fd, offers_frame(body));
                got = raw_read(call.fd, 100, 800);
            });
            ASSERT_TRUE(offers_pump_peer(next, 5000)) << r.what;
        }
        pump_for(100);
        EXPECT_EQ(got, r.reply) << r.what;
        EXPECT_EQ(app.idle, 0) << r.what;
        std::error_code ec;
        EXPECT_FALSE(std::filesystem::directory_iterator(call.dir + "Received Files", ec) !=
                     std::filesystem::directory_iterator()) << r.what;
        EXPECT_TRUE(r.after_rf[0] != 'm' || offers_chat_log().find("hello there") != std::string::npos)
            << r.what;
        bool told = !harness_messages().empty() &&
                    harness_messages().back().text.find(config.folder) != std::string::npos;
        EXPECT_EQ(told, !r.reply.empty()) << r.what;
        offers_end(&call);
        harness_remove_dir(base);
    }
}

// Sending: a late "RF" ends the operation and the call; a frame the peer
// stops taking ends the call, and the progress display runs meanwhile.
TEST(OfferState, SendingStopsOnLateReplyOrStall)
{
    net_set_timeouts(0, 1000, 0);
    std::string src = harness_temp_dir("state-send-src");
    const std::string big = offers_body(32u << 20, 22);
    harness_write_file(src + "a.txt", "first");
    harness_write_file(src + "b.txt", "second");
    harness_write_file(src + "big.bin", big);
    struct Row {
        const char* what;
        std::vector<std::string> files;
        std::string status;
    };
    const Row rows[] = {
        {"late RF", {src + "a.txt", src + "b.txt"}, "User Disconnected."},
        {"frame no longer taken", {src + "big.bin"}, "Disconnected. The transfer stalled."},
    };
    progress_set_observer([](int) { reports_after_stop += peer_stopped ? 1 : 0; });
    for (const Row& r : rows) {
        OfferCall call;
        HarnessConfig config;
        config.timeout = 1;
        ASSERT_TRUE(offers_call_program(&call, config, "state-send")) << r.what;
        peer_stopped = false;
        reports_after_stop = 0;
        ui_test_queue_files_answer(r.files.data(), int(r.files.size()));
        bool late = r.files.size() > 1;
        std::string seen;
        OfferPeer peer([&] {
            std::string name = late ? "a.txt" : "big.bin";
            raw_read(call.fd, 22, 3000);
            raw_read(call.fd, offers_file_offer(name, late ? "first" : big).size(), 3000);
            usleep(late ? 1500 * 1000 : 0);
            raw_send(call.fd, "RF");
            if (late) {
                raw_at_eof(call.fd, 2000, &seen);
            } else {
                raw_read(call.fd, 2, 3000);
                raw_send(call.fd, "a");
                raw_read(call.fd, 1 << 20, 3000);
                peer_stopped = true;
                usleep(2500 * 1000);
            }
            shutdown(call.fd, SHUT_RDWR);
        });
        harness_click(6);
        ASSERT_TRUE(offers_pump_peer(peer, 15000, [] { return app.idle == 1; })) << r.what;
        // A late "RF" finds the call ended, with the goodbye before the close.
        EXPECT_EQ(seen, late ? "ByeByeByeDisconnec" : "") << r.what;
        EXPECT_EQ(harness_status(), r.status) << r.what;
        EXPECT_TRUE(late || reports_after_stop >= 3) << r.what;
        offers_end(&call);
    }
    progress_set_observer(nullptr);
    net_set_timeouts(0, 0, 0);
    harness_remove_dir(src);
}
