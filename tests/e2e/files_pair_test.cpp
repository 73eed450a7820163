// File and picture offers between two real instances: this program calls a
// second instance (a child process with automatic acceptance) and sends it
// files of every size class and pictures; the child stores them byte for
// byte. Also the progress windows in the middle of a slow transfer.
#include <gtest/gtest.h>

#include <QTest>
#include <QWidget>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "layouts.h"
#include "md5.h"
#include "offers_harness_ext.h"
#include "desktop.h"
#include "state.h"
#include "toolkit.h"

namespace {

const std::string PICTURES = std::string(JOX_TEST_DATA) + "/pictures/";

// A file of `size` bytes of varied content, written in pieces.
void write_big_file(const std::string& path, long long size)
{
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    std::string piece = offers_body(1 << 20, 77);
    for (long long done = 0; done < size;) {
        long long n = std::min<long long>(size - done, (long long)piece.size());
        piece[0] = char(done >> 20);  // no two pieces alike
        ASSERT_EQ(write(fd, piece.data(), size_t(n)), n);
        done += n;
    }
    close(fd);
}

// Stops the child instance however the test ends.
struct ChildGuard {
    pid_t pid;
    ~ChildGuard() { harness_stop(pid); }
};

} // namespace

TEST(FilesPair, SecondInstanceStoresEverythingByteForByte)
{
    HarnessConfig child_config;
    child_config.port = harness_free_port();
    child_config.auto_accept = "Yes";
    std::string child_dir = harness_temp_dir("pair-child");
    harness_write_config(child_dir, child_config);
    pid_t child = harness_spawn(child_dir);
    ASSERT_GT(child, 0);
    ChildGuard guard{child};
    for (int i = 0; i < 200 && !harness_port_taken(child_config.port); ++i)
        usleep(25 * 1000);
    ASSERT_TRUE(harness_port_taken(child_config.port));

    std::string dir = harness_temp_dir("pair-parent");
    HarnessConfig config;
    config.port = child_config.port;  // taken by the child: runs without a listener
    harness_write_config(dir, config);
    ASSERT_TRUE(harness_app_start(dir));
    control_set_text(0, "127.0.0.2");
    harness_click(8);
    ASSERT_TRUE(pump_until([] { return harness_status() == "Connected To Server 127.0.0.2."; },
                           5000));

    std::string src = harness_temp_dir("pair-src");
    std::vector<std::string> names = {"empty.bin", "piece.dat", "big.bin", "Wide.JPG",
                                      "anim.gif", "../escape.txt"};
    std::vector<std::string> paths;
    harness_write_file(src + "empty.bin", "");
    harness_write_file(src + "piece.dat", offers_body(18001, 1));
    write_big_file(src + "big.bin", 200LL << 20);
    harness_write_file(src + "Wide.JPG", harness_read_file(PICTURES + "jpeg/landscape-600x400.jpg"));
    harness_write_file(src + "anim.gif", offers_body(999, 2));
    for (int i = 0; i < 5; ++i)
        paths.push_back(src + names[i]);
    ui_test_queue_files_answer(paths.data(), int(paths.size()));
    harness_click(6);
    ASSERT_TRUE(pump_until([] { return harness_status() == "Connected. 5 files were Sent."; },
                           120000))
        << harness_status();
    EXPECT_EQ(app.files_sent, 5);

    std::string received = child_dir + "Received Files/";
    for (int i = 0; i < 5; ++i) {
        std::string stored = received + names[i];
        EXPECT_EQ(md5_file(stored.c_str()), md5_file(paths[i].c_str())) << names[i];
        EXPECT_TRUE(offers_not_executable(stored)) << names[i];
    }
    EXPECT_EQ(md5_file((received + "empty.bin").c_str()), "d41d8cd98f00b204e9800998ecf8427e");

    // A second round to the same names: stored beside the first, nothing replaced.
    std::vector<std::string> again = {src + "piece.dat"};
    ui_test_queue_files_answer(again.data(), 1);
    harness_click(6);
    ASSERT_TRUE(pump_until([] { return harness_status() == "Connected. 1 file was Sent."; },
                           10000))
        << harness_status() << " enabled " << control_enabled(6);
    EXPECT_EQ(md5_file((received + "piece(1).dat").c_str()), md5_file(paths[1].c_str()));

    harness_app_stop();
    harness_remove_dir(src);
    harness_remove_dir(dir);
    harness_remove_dir(child_dir);
}

// --- Progress windows ---------------------------------------------------------------

namespace {

struct Seen {
    int calls = 0;
    int window = -1;
    std::string text, detail;
    int at_main = 0;  // the strip stood where the main window was
    int grabbed = 0;
    const char* png = nullptr;
};
Seen seen;

void observe(int window)
{
    ++seen.calls;
    seen.window = window;
    std::string text = control_get_text(PROGRESS_TEXT);
    // Grab once the speed shows, somewhere in the middle.
    if (!seen.grabbed && text.find("B/s") != std::string::npos && text.rfind("100 %", 0) != 0) {
        seen.text = text;
        seen.detail = control_get_text(PROGRESS_DETAIL);
        int x = -1, y = -1, mx = -2, my = -2;
        window_position(window, &x, &y);
        window_position(WINDOW_MAIN, &mx, &my);
        seen.at_main = x == mx && y == my;
        seen.grabbed = ui_test_grab_window(window, (offers_screenshot_dir() + seen.png).c_str());
    }
}

} // namespace

TEST(FilesProgress, BothWindowsShowHowFarAndHowFast)
{
    OfferCall call;
    HarnessConfig config;
    config.auto_accept = "Yes";
    ASSERT_TRUE(offers_call_program(&call, config, "progress"));
    const std::size_t size = 12u << 20;
    std::string body = offers_body(size, 21);
    progress_set_observer(observe);

    // Receiving: the raw peer sends the body in slow pieces.
    seen = Seen{};
    seen.png = "receiving_progress.png";
    std::string replies;
    {
        OfferPeer peer([&] {
            raw_send(call.fd, offers_file_offer("slow.bin", body));
            replies = raw_read(call.fd, 2, 3000);
            raw_send(call.fd, "SD");
            replies += raw_read(call.fd, 1, 3000);
            offers_send_slowly(call.fd, offers_frame(body), 1 << 20, 60);
            replies += raw_read(call.fd, 4, 5000);
        });
        ASSERT_TRUE(offers_pump_peer(peer, 20000));
    }
    EXPECT_EQ(replies, "RFasent");
    EXPECT_EQ(seen.window, WINDOW_RECEIVING);
    EXPECT_TRUE(seen.grabbed) << seen.calls;
    EXPECT_NE(seen.text.find(" % \xC2\xB7 "), std::string::npos) << seen.text;
    EXPECT_EQ(seen.detail.rfind("slow.bin \xC2\xB7 ", 0), 0u) << seen.detail;
    EXPECT_NE(seen.detail.find(" left"), std::string::npos) << seen.detail;
    EXPECT_TRUE(seen.at_main);
    EXPECT_EQ(harness_read_file(call.dir + "Received Files/slow.bin"), body);

    // Sending: the raw peer takes the frame in slow pieces.
    seen = Seen{};
    seen.png = "sending_progress.png";
    std::string src = harness_temp_dir("progress-src");
    harness_write_file(src + "slow.bin", body);
    std::vector<std::string> paths = {src + "slow.bin"};
    ui_test_queue_files_answer(paths.data(), 1);
    std::string got;
    {
        OfferPeer peer([&] {
            got = offers_accept_slowly(call.fd, "slow.bin", body, 1 << 20, 50);
            raw_send(call.fd, "sent");
        });
        harness_click(6);
        ASSERT_TRUE(offers_pump_peer(peer, 30000, [] {
            return harness_status() == "Connected. 1 file was Sent.";
        }));
    }
    EXPECT_EQ(got, offers_frame(body));
    EXPECT_EQ(seen.window, WINDOW_SENDING);
    EXPECT_TRUE(seen.grabbed) << seen.calls;
    // The windows are gone once the transfer is over.
    EXPECT_EQ(window_handle(WINDOW_SENDING), nullptr);
    EXPECT_EQ(window_handle(WINDOW_RECEIVING), nullptr);
    progress_set_observer(nullptr);
    harness_remove_dir(src);
    offers_end(&call);
}

namespace {

std::string first_receiving_text;

void first_text(int window)
{
    if (window == WINDOW_RECEIVING && first_receiving_text.empty())
        first_receiving_text = control_get_text(PROGRESS_TEXT);
}

} // namespace

// A jox peer sends again a file cut at 62 %: the program answers with what it
// holds, the strip says where the transfer went on, and the whole file is
// stored under its name with no part left.
TEST(FilesProgress, AResumedTransferSaysWhereItWentOn)
{
    OfferCall call;
    HarnessConfig config;
    config.auto_accept = "Yes";
    ASSERT_TRUE(offers_call_program(&call, config, "resume"));
    const std::string body = offers_body(4u << 20, 9);
    const std::size_t have = body.size() * 62 / 100 + 1;
    std::string folder = call.dir + "Received Files/";
    mkdir(folder.c_str(), 0700);
    harness_write_file(folder + "r.bin.jox-part", body.substr(0, have));
    Md5 m;
    md5_init(&m);
    md5_update(&m, body.data(), have);
    harness_write_file(folder + "r.bin.jox-resume", "jox-resume 1 " + std::to_string(body.size()) + " 77 " +
                                                        std::to_string(have) + " " + md5_state_text(m) + "\n");
    first_receiving_text.clear();
    progress_set_observer(first_text);
    std::string replies;
    const std::string accept = "JXC1 ACCEPT from=" + std::to_string(have) + "\n";
    {
        OfferPeer peer([&] {
            raw_send(call.fd, "JXC1 HELLO ext=size64,stream\n");
            replies = raw_read(call.fd, 26, 3000);
            raw_send(call.fd, "JXC1 FILE size=" + std::to_string(body.size()) + " time=77 name=r.bin\n");
            replies += raw_read(call.fd, 2, 3000);
            raw_send(call.fd, "SD");
            replies += raw_read(call.fd, accept.size(), 3000);
            offers_send_slowly(call.fd, offers_frame(body.substr(have)), 256 << 10, 30);
            raw_send(call.fd, "JXC1 MD5 " + offers_md5(body) + "\n");
            replies += raw_read(call.fd, 4, 5000);
        });
        ASSERT_TRUE(offers_pump_peer(peer, 20000));
    }
    progress_set_observer(nullptr);
    EXPECT_EQ(replies, "JXC1 OK ext=size64,stream\nRF" + accept + "sent");
    EXPECT_EQ(first_receiving_text, "resuming at 62 %");
    EXPECT_TRUE(harness_read_file(folder + "r.bin") == body);
    EXPECT_EQ(access((folder + "r.bin.jox-part").c_str(), F_OK), -1);
    EXPECT_EQ(access((folder + "r.bin.jox-resume").c_str(), F_OK), -1);
    offers_end(&call);
}

// --- Abandoning a transfer ------------------------------------------------------

namespace {

const char CORRUPTED[] = "mMeSSageJOXFile Sent is Corrupted.  Re-Send it Again.EeNdofMessageJOX";

// Clicks the small window at the first progress report: the user gives up.
void click_window(int window)
{
    QWidget* w = static_cast<QWidget*>(window_handle(window));
    if (w)
        QTest::mouseClick(w, Qt::LeftButton);
}

} // namespace

TEST(FilesProgress, AbandoningStopsTheTransferOnEitherSide)
{
    OfferCall call;
    HarnessConfig config;
    config.auto_accept = "Yes";
    ASSERT_TRUE(offers_call_program(&call, config, "abandon"));
    const std::size_t size = 8u << 20;
    std::string body = offers_body(size, 31);
    progress_set_observer(click_window);

    // Receiving: the user gives up; the rest is read off and dropped, nothing
    // is stored, the sender hears the file did not arrive intact, and the
    // call goes on.
    std::string verdict;
    {
        OfferPeer peer([&] {
            raw_send(call.fd, offers_file_offer("given-up.bin", body));
            raw_read(call.fd, 2, 3000);
            raw_send(call.fd, "SD");
            raw_read(call.fd, 1, 3000);
            offers_send_slowly(call.fd, offers_frame(body), 1 << 20, 60);
            verdict = raw_read(call.fd, 4 + sizeof CORRUPTED - 1, 5000);
        });
        ASSERT_TRUE(offers_pump_peer(peer, 20000));
    }
    EXPECT_EQ(verdict, std::string("sent") + CORRUPTED);
    EXPECT_EQ(app.idle, 0);
    EXPECT_EQ(window_handle(WINDOW_RECEIVING), nullptr);
    EXPECT_EQ(access((call.dir + "Received Files/given-up.bin").c_str(), F_OK), -1);
    ASSERT_TRUE(raw_send(call.fd, "ByeByeByeDisconnec"));
    ASSERT_TRUE(pump_until([] { return app.idle == 1; }, 3000));

    // Sending: the user gives up midway; the frame is cut off by closing the
    // line, never followed by a token the peer would take for body bytes.
    ASSERT_TRUE(offers_call_again(&call));
    std::string src = harness_temp_dir("abandon-src");
    harness_write_file(src + "big.bin", body);
    std::vector<std::string> paths = {src + "big.bin"};
    ui_test_queue_files_answer(paths.data(), 1);
    std::string got;
    {
        OfferPeer peer([&] { got = offers_accept_slowly(call.fd, "big.bin", body, 1 << 18, 20); });
        harness_click(6);
        ASSERT_TRUE(offers_pump_peer(peer, 30000, [] { return app.idle == 1; }));
    }
    EXPECT_LT(got.size(), body.size() + 12);
    EXPECT_EQ(got, offers_frame(body).substr(0, got.size()));
    EXPECT_EQ(harness_status(), "Disconnected.");
    progress_set_observer(nullptr);
    harness_remove_dir(src);
    offers_end(&call);
}
