// Offers and the call they belong to: nothing of an offer (acceptance,
// picture window, reply) crosses into a later call or a later offer, every
// wait of an exchange ends, and a transfer that stops midway ends the call.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "layouts.h"
#include "net.h"
#include "offers_harness_ext.h"
#include "progress.h"
#include "state.h"
#include "toolkit.h"

namespace {

int files_in(const std::string& dir)
{
    int n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        n += e.is_regular_file() ? 1 : 0;
    return n;
}

// Leaves the call by closing, then calls again as a new caller.
void leave_and_call_again(OfferCall& call)
{
    shutdown(call.fd, SHUT_RDWR);
    ASSERT_TRUE(pump_until([] { return app.idle == 1; }, 5000));
    ASSERT_TRUE(offers_call_again(&call));
}

std::atomic<int> stalled_reports{0};
std::atomic<bool> peer_stopped{false};

} // namespace

// Receiving side: what a later caller gets on an earlier call's behalf.
TEST(OfferState, NothingOfAnEndedCallReachesTheNext)
{
    struct Row {
        const char* what;
        const char* auto_accept;
        std::string first;  // what the first caller sends before leaving
        bool image;
    };
    const std::string body = offers_body(3000, 21);
    const Row rows[] = {
        {"acceptance without its frame", "Yes", offers_file_offer("report.pdf", body), false},
        {"picture window left open", "No", offers_image_offer("view.jpg", body), true},
    };
    for (const Row& r : rows) {
        OfferCall call;
        HarnessConfig config;
        config.auto_accept = r.auto_accept;
        ASSERT_TRUE(offers_call_program(&call, config, "state-call")) << r.what;
        {
            OfferPeer peer([&] {
                raw_send(call.fd, r.first);
                raw_read(call.fd, 2, 3000);
                raw_send(call.fd, r.image ? offers_frame("preview") : std::string("SD"));
                if (!r.image)
                    raw_read(call.fd, 1, 3000);
            });
            ASSERT_TRUE(offers_pump_peer(peer, 5000, [&] {
                return !r.image || control_handle(30) != nullptr;
            })) << r.what;
        }
        leave_and_call_again(call);
        EXPECT_EQ(window_handle(WINDOW_ACCEPT_IMAGE), nullptr) << r.what;
        if (control_handle(30))
            harness_click(30);
        std::string got;
        {
            OfferPeer peer([&] {
                raw_send(call.fd, offers_frame(body));
                got = raw_read(call.fd, 100, 800);
            });
            ASSERT_TRUE(offers_pump_peer(peer, 5000)) << r.what;
        }
        EXPECT_EQ(got, "") << r.what;
        EXPECT_EQ(files_in(call.dir + "Received Files"), 0) << r.what;
        EXPECT_TRUE(harness_messages().empty()) << r.what;
        offers_end(&call);
    }
}

// Receiving side: the wait for "SD" ends, and a folder that cannot be made
// declines the offer.
TEST(OfferState, ReceivingOffersEndWithoutSdOrFolder)
{
    struct Row {
        const char* what;
        std::string after_rf;  // what the peer sends after "RF"
        bool folder_blocked;
        std::string reply;     // what the peer gets back
        std::string chat;      // expected in the chat log
    };
    const Row rows[] = {
        {"silence instead of SD", "", false, "", ""},
        {"chat line instead of SD", "mMeSSageJOXhello thereEeNdofMessageJOX", false, "", "hello there"},
        {"folder cannot be made", "SD", true, "na", ""},
    };
    for (const Row& r : rows) {
        OfferCall call;
        HarnessConfig config;
        config.auto_accept = "Yes";
        config.timeout = 1;
        std::string base = harness_temp_dir("state-folder");
        harness_write_file(base + "plain", "x");
        if (r.folder_blocked)
            config.folder = base + "plain/inbox/";
        ASSERT_TRUE(offers_call_program(&call, config, "state-recv")) << r.what;
        std::string got;
        {
            OfferPeer peer([&] {
                raw_send(call.fd, offers_file_offer("notes.txt", "abc"));
                raw_read(call.fd, 2, 3000);
                if (!r.after_rf.empty())
                    raw_send(call.fd, r.after_rf);
                got = raw_read(call.fd, 2, 2500);
                // Too late: the offer is over and this is no token.
                if (r.after_rf.empty())
                    raw_send(call.fd, "SD");
            });
            ASSERT_TRUE(offers_pump_peer(peer, 6000, [] { return control_enabled(6) == 1; }))
                << r.what;
        }
        pump_for(100);
        EXPECT_EQ(got, r.reply) << r.what;
        EXPECT_EQ(app.idle, 0) << r.what;
        EXPECT_EQ(app.file_accepted, 0) << r.what;
        if (!r.chat.empty()) {
            EXPECT_NE(offers_chat_log().find(r.chat), std::string::npos) << r.what;
        }
        if (r.folder_blocked) {
            ASSERT_FALSE(harness_messages().empty());
            EXPECT_NE(harness_messages().back().text.find(config.folder), std::string::npos);
        }
        offers_end(&call);
        harness_remove_dir(base);
    }
}

// Sending side: a late "RF" ends the operation and the call, and a frame
// the peer stops taking ends the call while the progress display runs on.
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
        std::function<std::string(int fd)> peer;  // what the peer saw at the end
        std::string status;
    };
    const Row rows[] = {
        {"late RF", {src + "a.txt", src + "b.txt"},
         [](int fd) {
             raw_read(fd, 22, 3000);
             raw_read(fd, offers_file_offer("a.txt", "first").size(), 3000);
             usleep(1500 * 1000);
             raw_send(fd, "RF");
             std::string rest;
             raw_at_eof(fd, 2000, &rest);
             return rest;
         },
         "User Disconnected."},
        {"frame no longer taken", {src + "big.bin"},
         [&](int fd) {
             raw_read(fd, 22, 3000);
             raw_read(fd, offers_file_offer("big.bin", big).size(), 3000);
             raw_send(fd, "RF");
             raw_read(fd, 2, 3000);
             raw_send(fd, "a");
             raw_read(fd, 1 << 20, 3000);
             peer_stopped = true;
             usleep(2500 * 1000);
             return std::string();
         },
         "Disconnected. The transfer stalled."},
    };
    progress_set_observer([](int) { stalled_reports += peer_stopped ? 1 : 0; });
    for (const Row& r : rows) {
        OfferCall call;
        HarnessConfig config;
        config.timeout = 1;
        ASSERT_TRUE(offers_call_program(&call, config, "state-send")) << r.what;
        peer_stopped = false;
        stalled_reports = 0;
        ui_test_queue_files_answer(r.files.data(), int(r.files.size()));
        std::string seen;
        {
            OfferPeer peer([&] {
                seen = r.peer(call.fd);
                // Ends any wait still holding the program, so a fault fails the row.
                shutdown(call.fd, SHUT_RDWR);
            });
            harness_click(6);
            ASSERT_TRUE(offers_pump_peer(peer, 15000, [] { return app.idle == 1; })) << r.what;
        }
        EXPECT_EQ(seen, "") << r.what;
        EXPECT_EQ(harness_status(), r.status) << r.what;
        EXPECT_TRUE(r.files.size() > 1 || stalled_reports.load() >= 3) << r.what;
        offers_end(&call);
    }
    progress_set_observer(nullptr);
    net_set_timeouts(0, 0, 0);
    harness_remove_dir(src);
}
