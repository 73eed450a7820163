// File offers end to end: the real program in-process against a raw protocol
// peer that checks every byte on the wire. Receiving (automatic and asked
// acceptance, unsafe names, open question, MD5 mismatch, unasked frames) and
// sending (requester cancelled, several files, declined files, no "RF", a
// peer that vanishes in every wait, files too big, abandoning).
#include <gtest/gtest.h>

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QTest>
#include <QUrl>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "layouts.h"
#include "offers_harness_ext.h"
#include "state.h"
#include "toolkit.h"

namespace {

const char CORRUPTED[] = "mMeSSageJOXFile Sent is Corrupted.  Re-Send it Again.EeNdofMessageJOX";

HarnessConfig config_with(const char* auto_accept, const char* open_file = "No", int timeout = 2)
{
    HarnessConfig c;
    c.auto_accept = auto_accept;
    c.open_file = open_file;
    c.timeout = timeout;
    return c;
}

// The question's own text is followed by who offers: the raw peer names
// itself with no nickname, so by its address.
const std::string FROM = "\r\rFrom: 127.0.0.1";

// The raw peer offers `body` as `name` and delivers it after "a"; the texts
// it saw come back in `seen` ("RF", the answer, "sent" and what followed).
void offer_and_deliver(int fd, const std::string& name, const std::string& body,
                       std::string* seen, const std::string& md5_override = "")
{
    std::string offer = offers_file_offer(name, body);
    if (!md5_override.empty())
        offer = offer.substr(0, offer.size() - 32) + md5_override;
    raw_send(fd, offer);
    *seen = raw_read(fd, 2, 3000);
    raw_send(fd, "SD");
    std::string answer = raw_read(fd, 1, 5000);
    if (answer == "n")
        answer += raw_read(fd, 1, 1000);
    *seen += "|" + answer;
    if (answer != "a")
        return;
    raw_send(fd, offers_frame(body));
    *seen += "|" + raw_read(fd, 4, 5000);
    *seen += "|" + raw_read(fd, 200, 300);
}

} // namespace

// --- Receiving ------------------------------------------------------------------

TEST(FilesReceive, AutomaticAcceptanceStoresEveryNameSafely)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config_with("Yes"), "recv-auto"));
    std::string folder = call.dir + "Received Files/";
    struct Row { std::string offered; std::size_t size; std::string stored; };
    const Row rows[] = {
        {"empty.bin", 0, "empty.bin"},
        {"piece.dat", 18001, "piece.dat"},
        {"piece.dat", 5, "piece(1).dat"},
        {"../../x", 10, "x"},
        {"a/b\\c", 11, "c"},
        {"\x01" "evil", 12, "evil"},
        {"", 13, "received file"},
        {"..", 14, "(1).received file"},
        {"/etc/passwd", 15, "passwd"},
        {std::string(251, 'L') + ".txt", 16, std::string(251, 'L') + ".txt"},
    };
    unsigned seed = 1;
    for (const Row& r : rows) {
        std::string body = offers_body(r.size, seed++);
        std::string seen;
        OfferPeer peer([&] { offer_and_deliver(call.fd, r.offered, body, &seen); });
        ASSERT_TRUE(offers_pump_peer(peer, 10000)) << r.offered;
        EXPECT_EQ(seen, "RF|a|sent|") << r.offered;
        EXPECT_EQ(harness_status(), "Connected. File/s Received.");
        std::string stored = app.stored_name;
        EXPECT_EQ(stored, r.stored) << r.offered;
        EXPECT_EQ(harness_read_file(folder + stored), body) << r.offered;
        EXPECT_TRUE(offers_not_executable(folder + stored));
    }
    // Nothing escaped the folder.
    EXPECT_EQ(access((call.dir + "x").c_str(), F_OK), -1);
    EXPECT_TRUE(control_enabled(6));
    offers_end(&call);
}

TEST(FilesReceive, AskedAcceptanceAndOpenQuestion)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config_with("No", "Yes"), "recv-ask"));
    std::string body = offers_body(3000, 7);

    // Yes to the offer, Yes to opening it.
    harness_answer_next(IDYES);
    harness_answer_next(IDYES);
    std::string seen;
    {
        OfferPeer peer([&] { offer_and_deliver(call.fd, "Setup.EXE", body, &seen); });
        ASSERT_TRUE(offers_pump_peer(peer, 10000));
    }
    EXPECT_EQ(seen, "RF|a|sent|");
    ASSERT_EQ(harness_messages().size(), 3u);
    EXPECT_EQ(harness_messages()[0].title, "JOX 1.05 build 6000");
    EXPECT_EQ(harness_messages()[0].text,
              "Accept File: \r  Name : Setup.EXE\r  Size    : 3KB\r  Ext     : EXE"
              " ?\r\rWARNING :\r   File May Contain a Virus." + FROM);
    EXPECT_EQ(harness_messages()[1].text, "Do you wish to Open Setup.EXE?");
    // A Windows program would be run by the desktop: its folder is shown instead.
    EXPECT_EQ(harness_messages()[2].text.rfind(call.dir + "Received Files/Setup.EXE\rwas not opened", 0), 0u);
    ASSERT_EQ(harness_runs().size(), 1u);
    EXPECT_EQ(harness_runs()[0].target, call.dir + "Received Files/");

    // Yes to the offer, No to opening: "sent" all the same, nothing started.
    harness_answer_next(IDYES);
    harness_answer_next(IDNO);
    {
        OfferPeer peer([&] { offer_and_deliver(call.fd, "Makefile", body, &seen); });
        ASSERT_TRUE(offers_pump_peer(peer, 10000));
    }
    EXPECT_EQ(seen, "RF|a|sent|");
    EXPECT_EQ(harness_messages()[3].text, "Accept File: \r  Name : Makefile\r  Size    : 3KB ?" + FROM);
    EXPECT_EQ(harness_runs().size(), 1u);

    // No to the offer: "na", status, controls back. (An "Auto Accept" that
    // is neither "Yes" nor "No" asks as "No" does: see the next test.)
    harness_answer_next(IDNO);
    {
        OfferPeer peer([&] { offer_and_deliver(call.fd, "notes.txt", body, &seen); });
        ASSERT_TRUE(offers_pump_peer(peer, 10000));
    }
    EXPECT_EQ(seen, "RF|na");
    EXPECT_EQ(harness_messages().back().text,
              "Accept File: \r  Name : notes.txt\r  Size    : 3KB\r  Ext     : txt ?" + FROM);
    pump_for(50);
    EXPECT_EQ(harness_status(), "Connected. File Not Accepted.");
    EXPECT_TRUE(control_enabled(6) && control_enabled(7) && control_enabled(13));
    EXPECT_EQ(access((call.dir + "Received Files/notes.txt").c_str(), F_OK), -1);
    offers_end(&call);
}

TEST(FilesReceive, UnknownAutomaticAcceptanceAsks)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config_with("yes"), "recv-unknown"));
    harness_answer_next(IDYES);
    std::string seen;
    {
        OfferPeer peer([&] { offer_and_deliver(call.fd, "q.txt", "question", &seen); });
        ASSERT_TRUE(offers_pump_peer(peer, 10000));
    }
    EXPECT_EQ(seen, "RF|a|sent|");
    ASSERT_EQ(harness_messages().size(), 1u);
    EXPECT_EQ(harness_messages()[0].text,
              "Accept File: \r  Name : q.txt\r  Size    : Few Bytes\r  Ext     : txt ?" + FROM);
    offers_end(&call);
}

TEST(FilesReceive, ChecksumMismatchAndUnaskedFrames)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config_with("Yes"), "recv-md5"));
    std::string body = offers_body(40000, 3);
    std::string seen;
    {
        OfferPeer peer([&] {
            offer_and_deliver(call.fd, "bad.bin", body, &seen, std::string(32, 'f'));
        });
        ASSERT_TRUE(offers_pump_peer(peer, 10000));
    }
    EXPECT_EQ(seen, std::string("RF|a|sent|") + CORRUPTED);
    ASSERT_FALSE(harness_messages().empty());
    EXPECT_EQ(harness_messages().back().text, "File Sent is Corrupted. (MD5 Error)");
    EXPECT_EQ(harness_read_file(call.dir + "Received Files/bad.bin"), body);

    // A frame nobody accepted, then a second frame after a receipt: both are
    // read off and dropped, and the line still works afterwards.
    std::string stray = offers_body(30000, 4);
    {
        OfferPeer peer([&] {
            raw_send(call.fd, offers_frame(stray));
            raw_send(call.fd, offers_frame(stray));
        });
        ASSERT_TRUE(offers_pump_peer(peer, 5000));
    }
    pump_for(300);
    EXPECT_EQ(harness_read_file(call.dir + "Received Files/bad.bin"), body);
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(call.dir + "Received Files"))
        entries += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(entries, 1);
    std::string good = offers_body(100, 5);
    {
        OfferPeer peer([&] { offer_and_deliver(call.fd, "after.txt", good, &seen); });
        ASSERT_TRUE(offers_pump_peer(peer, 10000));
    }
    EXPECT_EQ(seen, "RF|a|sent|");
    EXPECT_EQ(harness_read_file(call.dir + "Received Files/after.txt"), good);
    offers_end(&call);
}

TEST(FilesReceive, LongOfferArrivingInTwoParts)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config_with("Yes"), "recv-long"));
    std::string name = std::string(200, 'n') + ".longname";
    std::string body = offers_body(64, 9);
    std::string offer = offers_file_offer(name, body);
    std::string seen;
    OfferPeer peer([&] {
        raw_send(call.fd, offer.substr(0, 256));
        usleep(100 * 1000);
        raw_send(call.fd, offer.substr(256));
        seen = raw_read(call.fd, 2, 3000);
        raw_send(call.fd, "SD");
        seen += raw_read(call.fd, 1, 3000);
        raw_send(call.fd, offers_frame(body));
        seen += raw_read(call.fd, 4, 3000);
    });
    ASSERT_TRUE(offers_pump_peer(peer, 10000));
    EXPECT_EQ(seen, "RFasent");
    EXPECT_EQ(harness_read_file(call.dir + "Received Files/" + name), body);
    offers_end(&call);
}

TEST(FilesReceive, PeerVanishingInAReceivingWait)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config_with("Yes"), "recv-gone"));
    // Gone before "SD"; then, on a new call, gone with the goodbye token.
    const std::string endings[] = {"close", "bye"};
    for (const std::string& how : endings) {
        std::string seen;
        OfferPeer peer([&] {
            raw_send(call.fd, offers_file_offer("late.txt", "abc"));
            seen = raw_read(call.fd, 2, 3000);
            if (how == "bye")
                raw_send(call.fd, "ByeByeByeDisconnec");
            else
                shutdown(call.fd, SHUT_RDWR);
        });
        ASSERT_TRUE(offers_pump_peer(peer, 5000, [] { return app.idle == 1; })) << how;
        EXPECT_EQ(seen, "RF");
        EXPECT_EQ(harness_status(), "User Disconnected.") << how;
            EXPECT_FALSE(control_enabled(6));
        ASSERT_TRUE(offers_call_again(&call));
    }
    offers_end(&call);
}

// --- Sending ---------------------------------------------------------------------

namespace {

// The raw peer's side of one plain file: reads the offer, answers, takes the
// frame. Returns what it saw, "|"-separated.
std::string take_offer(int fd, const std::string& name, const std::string& body, bool accept,
                       const std::string& after_frame = "sent")
{
    std::string expected = offers_file_offer(name, body);
    std::string got = raw_read(fd, expected.size(), 5000);
    if (got != expected)
        return "bad offer: " + got;
    raw_send(fd, "RF");
    std::string sd = raw_read(fd, 2, 3000);
    raw_send(fd, accept ? "a" : "na");
    if (!accept)
        return sd + "|na";
    std::string frame = raw_read(fd, body.size() + 12, 10000);
    raw_send(fd, after_frame);
    return sd + "|" + (frame == offers_frame(body) ? "frame ok" : "frame bad");
}

std::string write_file(const std::string& dir, const std::string& name, const std::string& body)
{
    harness_write_file(dir + name, body);
    return dir + name;
}

void choose(const std::vector<std::string>& paths)
{
    ui_test_queue_files_answer(paths.data(), static_cast<int>(paths.size()));
}

} // namespace

TEST(FilesSend, CancelledRequesterAndThreeFilesOneDeclined)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config_with("No"), "send-three"));
    std::string dir = harness_temp_dir("send-three-src");

    choose({});
    std::string seen;
    {
        OfferPeer peer([&] { seen = raw_read(call.fd, 100, 800); });
        harness_click(6);
        ASSERT_TRUE(offers_pump_peer(peer, 5000));
    }
    EXPECT_EQ(seen, "SendingSeindingJOXFileCloseSendJOXFile");
    EXPECT_TRUE(control_enabled(6));

    std::string a = offers_body(1000, 1), b = offers_body(18001, 2), c = offers_body(0, 3);
    choose({write_file(dir, "one.txt", a), write_file(dir, "two.txt", b),
            write_file(dir, "three", c)});
    std::string r1, r2, r3, head;
    {
        OfferPeer peer([&] {
            head = raw_read(call.fd, 22, 3000);
            r1 = take_offer(call.fd, "one.txt", a, true);
            r2 = take_offer(call.fd, "two.txt", b, false);
            r3 = take_offer(call.fd, "three", c, true);
        });
        harness_click(6);
        ASSERT_TRUE(offers_pump_peer(peer, 15000, [] {
            return harness_status() == "Connected. 2 files were Sent.";
        }));
    }
    EXPECT_EQ(head, "SendingSeindingJOXFile");
    EXPECT_EQ(r1, "SD|frame ok");
    EXPECT_EQ(r2, "SD|na");
    EXPECT_EQ(r3, "SD|frame ok");
    EXPECT_EQ(app.files_sent, 2);
    EXPECT_TRUE(control_enabled(6) && control_enabled(7));
    harness_remove_dir(dir);
    offers_end(&call);
}

// The notice comes right behind "sent"; the next file is still offered.
TEST(FilesSend, CorruptedNoticeIsShownNotDropped)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config_with("No"), "send-md5"));
    std::string dir = harness_temp_dir("send-md5-src");
    std::string body = offers_body(5000, 11);
    choose({write_file(dir, "x.bin", body), write_file(dir, "y.bin", body)});
    std::string r, r2;
    {
        OfferPeer peer([&] {
            raw_read(call.fd, 22, 3000);
            r = take_offer(call.fd, "x.bin", body, true, std::string("sent") + CORRUPTED);
            r2 = take_offer(call.fd, "y.bin", body, true);
        });
        harness_click(6);
        ASSERT_TRUE(offers_pump_peer(peer, 10000, [] {
            return offers_chat_log().find("File Sent is Corrupted.  Re-Send it Again.") !=
                   std::string::npos;
        }));
    }
    EXPECT_EQ(r, "SD|frame ok");
    EXPECT_EQ(r2, "SD|frame ok");
    EXPECT_EQ(app.idle, 0);
    harness_remove_dir(dir);
    offers_end(&call);
}

TEST(FilesSend, NoTimelyReadyReply)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config_with("No", "No", 1), "send-norf"));
    std::string dir = harness_temp_dir("send-norf-src");
    choose({write_file(dir, "slow.txt", "abc")});
    std::string seen;
    auto start = std::chrono::steady_clock::now();
    {
        OfferPeer peer([&] { seen = raw_read(call.fd, 200, 1500); });
        harness_click(6);
        ASSERT_TRUE(offers_pump_peer(peer, 5000, [] { return app.idle == 1; }));
    }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The goodbye follows, so a peer that cannot see our close learns the end.
    EXPECT_EQ(seen, "SendingSeindingJOXFile" + offers_file_offer("slow.txt", "abc") + "ByeByeByeDisconnec");
    EXPECT_EQ(harness_status(), "User Disconnected.");
    EXPECT_GE(s, 1.0);
    EXPECT_FALSE(control_enabled(6));
    harness_remove_dir(dir);
    offers_end(&call);
}

TEST(FilesSend, PeerVanishingInEverySendingWait)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config_with("No", "No", 0), "send-gone"));
    std::string dir = harness_temp_dir("send-gone-src");
    std::string body = offers_body(2000, 5);
    std::string path = write_file(dir, "v.bin", body);
    // Where the raw peer leaves: in the "RF" wait (no limit with Timeout 0),
    // the answer wait, the confirmation wait; by closing or by goodbye.
    struct Row { int stage; bool bye; };
    const Row rows[] = {{0, false}, {1, false}, {2, false}, {1, true}, {2, true}};
    for (const Row& r : rows) {
        choose({path});
        OfferPeer peer([&] {
            raw_read(call.fd, 22, 3000);
            raw_read(call.fd, offers_file_offer("v.bin", body).size(), 3000);
            if (r.stage >= 1) {
                raw_send(call.fd, "RF");
                raw_read(call.fd, 2, 3000);
            }
            if (r.stage >= 2) {
                raw_send(call.fd, "a");
                raw_read(call.fd, body.size() + 12, 3000);
            }
            if (r.bye)
                raw_send(call.fd, "ByeByeByeDisconnec");
            else
                shutdown(call.fd, SHUT_RDWR);
        });
        harness_click(6);
        ASSERT_TRUE(offers_pump_peer(peer, 8000, [] { return app.idle == 1; }))
            << r.stage << r.bye;
        pump_for(50);
        EXPECT_EQ(harness_status(), "User Disconnected.") << r.stage << r.bye;
        EXPECT_FALSE(control_enabled(6));
            ASSERT_TRUE(offers_call_again(&call));
    }
    harness_remove_dir(dir);
    offers_end(&call);
}

TEST(FilesSend, TooBigIsRefusedAndTheOthersGoOn)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config_with("No"), "send-big"));
    std::string dir = harness_temp_dir("send-big-src");
    std::string big = dir + "huge.iso";
    int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 1LL << 31), 0);  // sparse: takes no disk space
    close(fd);
    std::string body = offers_body(100, 8);
    choose({big, write_file(dir, "small.txt", body)});
    std::string r;
    {
        OfferPeer peer([&] {
            raw_read(call.fd, 22, 3000);
            r = take_offer(call.fd, "small.txt", body, true);
        });
        harness_click(6);
        ASSERT_TRUE(offers_pump_peer(peer, 10000, [] {
            return harness_status() == "Connected. 1 file was Sent.";
        }));
    }
    EXPECT_EQ(r, "SD|frame ok");
    ASSERT_FALSE(harness_messages().empty());
    EXPECT_NE(harness_messages()[0].text.find("huge.iso"), std::string::npos);
    harness_remove_dir(dir);
    offers_end(&call);
}

TEST(FilesSend, AbandoningTheAnswerWait)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config_with("No"), "send-abandon"));
    std::string dir = harness_temp_dir("send-abandon-src");
    choose({write_file(dir, "w.txt", "hello")});
    std::string seen;
    static std::atomic<int> asked;
    asked = 0;
    OfferPeer peer([&] {
        raw_read(call.fd, 22, 3000);
        raw_read(call.fd, offers_file_offer("w.txt", "hello").size(), 3000);
        raw_send(call.fd, "RF");
        seen = raw_read(call.fd, 2, 3000);
        asked = 1;
        seen += "|" + raw_read(call.fd, 18, 5000);
    });
    // A click on the small window while the program waits for the answer.
    harness_inside([] {
        QWidget* w = static_cast<QWidget*>(window_handle(WINDOW_SENDING));
        if (!w || !asked)
            return false;
        QTest::mouseClick(w, Qt::LeftButton);
        return true;
    });
    harness_click(6);
    ASSERT_TRUE(offers_pump_peer(peer, 8000, [] { return app.idle == 1; }));
    EXPECT_EQ(seen, "SD|ByeByeByeDisconnec");
    EXPECT_EQ(harness_status(), "Disconnected.");
    harness_remove_dir(dir);
    offers_end(&call);
}

// The question names who offers: the caller's nickname (its bidi controls
// left out, so it cannot turn our words around) and its address.
TEST(FilesReceive, TheQuestionNamesTheSender)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config_with("No"), "recv-from"));
    raw_send(call.fd, "JOXNICKNAMEIS\xe2\x80\xae" "Bob");
    pump_for(300);
    harness_answer_next(IDNO);
    std::string seen;
    {
        OfferPeer peer([&] { offer_and_deliver(call.fd, "q.txt", "question", &seen); });
        ASSERT_TRUE(offers_pump_peer(peer, 10000));
    }
    ASSERT_EQ(harness_messages().size(), 1u);
    const std::string text = harness_messages()[0].text;
    const std::string from = "\r\rFrom: Bob (127.0.0.1)";
    EXPECT_EQ(text.substr(text.size() - std::min(text.size(), from.size())), from) << text;
    offers_end(&call);
}

// Files dropped on the main window during a call are offered as if chosen
// with Send File; a folder among them is refused with a word.
TEST(FilesSend, DroppedFilesAreOffered)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config_with("No"), "send-drop"));
    std::string src = harness_temp_dir("drop-src");
    harness_write_file(src + "a.txt", "hello\n");
    mkdir((src + "folder").c_str(), 0700);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(src + "a.txt")),
                  QUrl::fromLocalFile(QString::fromStdString(src + "folder"))});
    QWidget* main = static_cast<QWidget*>(window_handle(0));
    QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(main, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(50, 50), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(main, &drop);
    std::string heard;
    const std::string offer = "SendingSeindingJOXFile" + offers_file_offer("a.txt", "hello\n");
    EXPECT_TRUE(pump_until([&] { return (heard += raw_read(call.fd, 256, 1)).size() >= offer.size(); }, 3000));
    EXPECT_EQ(heard, offer);
    ASSERT_FALSE(harness_messages().empty());
    EXPECT_EQ(harness_messages()[0].text, "Folders can't be sent, only files:\r  folder");
    harness_remove_dir(src);
    offers_end(&call);
}
