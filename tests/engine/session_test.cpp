// One call's state machines fed the peer's bytes and the time, no sockets
// and no sleeps: their offers to us, ours to them, two sessions wired to
// each other, and the bounds that hold whatever the peer does. Received
// files land in a temporary folder of each test.
#include "md5.h"
#include "offer_names.h"
#include "session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::string NOTICE = WIRE_CORRUPTED_NOTICE;
const std::string BYE = "ByeByeByeDisconnec";

// A fresh folder under /tmp, removed with everything in it at the end.
struct TempDir {
    std::string path = [] {
        char name[] = "/tmp/jox_engine_XXXXXX";
        return std::string(mkdtemp(name) ? name : "");
    }();
    ~TempDir()
    {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
};

std::string md5_of(const std::string& bytes)
{
    Md5 m;
    md5_init(&m);
    md5_update(&m, bytes.data(), bytes.size());
    return md5_final(&m);
}

std::string read_all(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The names in a folder, sorted; none when it does not exist.
std::vector<std::string> names_in(const std::string& folder)
{
    std::vector<std::string> names;
    std::error_code e;
    for (const auto& entry : std::filesystem::directory_iterator(folder, e)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::string offer(const std::string& name, const std::string& body, const std::string& md5 = "")
{
    return "NAMEJOX" + name + "SIZEJOXsizejox" + std::to_string(body.size()) + "MD5JOX" +
           (md5.empty() ? md5_of(body) : md5);
}

std::string frame(const std::string& body) { return wire_frame_header(uint32_t(body.size())) + body; }

struct Recorder : SessionHost {
    std::deque<EngineEvent> events;  // addresses stay valid while more arrive
    std::vector<int> tickets;
    std::vector<std::string> paths;
    void emit(EngineEvent e) override { events.push_back(std::move(e)); }
    void prepare(int ticket, const std::string& path, int) override
    {
        tickets.push_back(ticket);
        paths.push_back(path);
    }
    std::vector<const EngineEvent*> all(EventKind k) const
    {
        std::vector<const EngineEvent*> out;
        for (const EngineEvent& e : events)
            if (e.kind == k) out.push_back(&e);
        return out;
    }
    const EngineEvent* last(EventKind k) const { return all(k).empty() ? nullptr : all(k).back(); }
    std::vector<int> codes(EventKind k) const
    {
        std::vector<int> out;
        for (const EngineEvent* e : all(k)) out.push_back(e->code);
        return out;
    }
    bool said(const std::string& text) const
    {
        auto s = all(EventKind::Status);
        return std::any_of(s.begin(), s.end(), [&](const EngineEvent* e) { return e->text == text; });
    }
};

struct Step {
    int64_t at;
    std::string bytes;  // empty: a tick
};

// One session, its host, and a folder for what it receives and sends.
struct Call {
    TempDir dir;
    Recorder host;
    SessionConfig cfg;
    std::unique_ptr<Session> s;
    int64_t now = 0;

    explicit Call(const std::function<void(SessionConfig&)>& tweak = {}, uint64_t generation = 1)
    {
        cfg.receive_folder = dir.path + "/inbox/";
        if (tweak) tweak(cfg);
        s = std::make_unique<Session>(cfg, ROLE_ANSWERER, generation, 0, &host);
        s->start(0);
    }
    std::string inbox() const { return cfg.receive_folder; }
    void in(const std::string& bytes, int64_t at) { s->feed(bytes.data(), bytes.size(), now = at); }
    void tick(int64_t at) { s->tick(now = at); }
    // Everything the session lets go at `now`, as a peer that reads all would.
    std::string out()
    {
        std::string all;
        const char* data = nullptr;
        for (std::size_t n, i = 0; i < 100000 && (n = s->output(&data, now)) > 0; ++i) {
            all.append(data, n);
            s->wrote(n, now);
        }
        return all;
    }
    // Each step's bytes fed (or a tick), and all the output after each.
    std::string run(const std::vector<Step>& steps)
    {
        std::string all;
        for (const Step& st : steps) {
            if (st.bytes.empty()) tick(st.at);
            else in(st.bytes, st.at);
            all += out();
        }
        return all;
    }
    uint64_t asked() const { return host.last(EventKind::Question) ? host.last(EventKind::Question)->qid : 0; }
    std::string file(const std::string& name, const std::string& bytes)
    {
        std::ofstream(dir.path + "/" + name, std::ios::binary) << bytes;
        return dir.path + "/" + name;
    }
    void prepared(std::size_t i, const std::string& preview = "")
    {
        const std::string& p = host.paths.at(i);
        s->prepared(host.tickets.at(i), md5_file(p.c_str()), int64_t(std::filesystem::file_size(p)), preview, now);
    }
    // Our offer of `paths` (the first file fingerprinted) written at 250 ms.
    void offered(const std::vector<std::string>& paths)
    {
        s->send_paths(paths, now);
        out();
        prepared(0);
        now = 250;
        out();
    }
};

// --- Their offers ----------------------------------------------------------------

TEST(SessionReceive, NamesStayInTheFolderAndVerdictGoesInOneSend)
{
    struct Case {
        std::string offered, stored, md5;
        int exists;  // a file of that name is there already
    } cases[] = {
        {"note.txt", "note.txt", "", 0},
        {"note.txt", "note(1).txt", "", 1},
        {"../evil.txt", "evil.txt", "", 0},
        {"/etc/cron.d/job", "job", "", 0},
        {"..\\..\\win.ini", "win.ini", "", 0},
        {std::string("a\x01") + "b\x1b[2Jc\x7f.txt", "ab[2Jc.txt", "", 0},
        {"..", "received file", "", 0},
        {"bad.txt", "bad.txt", std::string(32, '0'), 0},
    };
    for (const Case& k : cases) {
        Call c([](SessionConfig& cfg) { cfg.auto_accept = 1; });
        const std::string body = "body of " + k.stored;
        if (k.exists) {
            std::filesystem::create_directory(c.inbox());
            std::ofstream(c.inbox() + k.offered) << "older";
        }
        c.in(offer(k.offered, body, k.md5), 0);
        c.in("SD", 10);
        EXPECT_EQ(c.out(), "RFa") << k.stored;
        c.in(frame(body), 20);
        const int good = k.md5.empty();
        const char* data = nullptr;
        std::size_t n = c.s->output(&data, c.now);
        EXPECT_EQ(std::string(data, n), good ? "sent" : "sent" + NOTICE) << k.stored;
        const EngineEvent* st = c.host.last(EventKind::Stored);
        ASSERT_NE(st, nullptr) << k.stored;
        EXPECT_EQ(st->path, c.inbox() + k.stored);
        EXPECT_EQ(st->good, good) << k.stored;
        EXPECT_EQ(read_all(c.inbox() + k.stored), body);
        EXPECT_EQ(c.host.codes(EventKind::Notice), good ? std::vector<int>{} : std::vector<int>{NOTICE_CORRUPTED});
        EXPECT_EQ(names_in(c.dir.path), std::vector<std::string>{"inbox"}) << k.stored;
        EXPECT_EQ(names_in(c.inbox()).size(), 1u + k.exists) << k.stored;
    }
}

// Received into the program's own folder, a stranger's file never takes a
// name the program reads (its settings, its alert sound), present or not.
TEST(SessionReceive, ProgramFilesAreNeverAStrangers)
{
    for (const std::string name : {"jox.cfg", "alert1.wav", "other.txt"}) {
        Call c([](SessionConfig& cfg) {
            cfg.auto_accept = 1;
            cfg.working_folder = cfg.receive_folder;
        });
        c.run({{0, offer(name, "x") + "SD"}, {10, frame("x")}});
        const EngineEvent* st = c.host.last(EventKind::Stored);
        ASSERT_NE(st, nullptr) << name;
        EXPECT_EQ(st->path, c.inbox() + (name == "other.txt" ? name : offer_copy_name(name, 1))) << name;
    }
}

// A body that trickles in under 1 KiB a second over the slow limit ends the
// call as a stalled one would, though bytes keep coming.
TEST(SessionReceive, TrickledBodyEndsAsStalled)
{
    Call c([](SessionConfig& cfg) {
        cfg.auto_accept = 1;
        cfg.slow_limit_ms = 5000;
    });
    const std::string body(100000, 'b');
    c.run({{0, offer("slow.bin", body) + "SD"}, {10, frame(body).substr(0, 2000)}});
    // The host ticks after every turn of its loop, bytes or not.
    for (int64_t t = 500; t <= 8000 && c.s->ended() == SESSION_LIVE; t += 500) c.run({{t, "bb"}, {t, ""}});
    EXPECT_EQ(c.host.codes(EventKind::CallEnded), std::vector<int>{END_STALLED});
    EXPECT_EQ(names_in(c.inbox()), std::vector<std::string>{});
}

TEST(SessionReceive, FrameNobodyAskedForIsReadOffAndDropped)
{
    const char* stages[] = {"no offer", "offer before SD", "question open", "declined", "acceptance lapsed"};
    for (int stage = 0; stage < 5; ++stage) {
        Call c;
        if (stage >= 1) c.in(offer("x.txt", "XYZ"), 0);
        if (stage >= 2) c.in("SD", 10);
        if (stage >= 3) c.s->answer(c.asked(), stage == 4, 20);
        EXPECT_EQ(c.out(), stage < 1 ? "" : stage < 3 ? "RF" : stage == 3 ? "RFna" : "RFa") << stages[stage];
        if (stage == 4) c.tick(20 + 30000);
        c.in(frame("XYZ") + "mMeSSageJOXafterEeNdofMessageJOX", 60000);
        EXPECT_EQ(c.host.all(EventKind::Stored).size(), 0u) << stages[stage];
        EXPECT_EQ(names_in(c.inbox()), std::vector<std::string>{}) << stages[stage];
        const EngineEvent* line = c.host.last(EventKind::ChatLine);
        EXPECT_TRUE(line && line->text == "after") << stages[stage];
        EXPECT_EQ(c.out(), "") << stages[stage];
        EXPECT_EQ(c.s->ended(), SESSION_LIVE) << stages[stage];
    }
}

TEST(SessionReceive, StaleAnswersSendNothing)
{
    // Replaced by a newer offer: the first question is withdrawn.
    Call c;
    c.in(offer("one.txt", "1") + "SD", 0);
    const uint64_t first = c.asked();
    c.in(offer("two.txt", "2"), 10);
    EXPECT_EQ(c.out(), "RFRF");
    ASSERT_NE(c.host.last(EventKind::QuestionWithdrawn), nullptr);
    EXPECT_EQ(c.host.last(EventKind::QuestionWithdrawn)->qid, first);
    c.s->answer(first, 1, 20);
    EXPECT_EQ(c.out(), "");
    c.in("SD", 30);
    ASSERT_NE(c.asked(), first);
    c.s->answer(c.asked(), 1, 40);
    EXPECT_EQ(c.out(), "a");

    // Asked in a call that ended, answered in the next one.
    Call old, next({}, 2);
    old.in(offer("one.txt", "1") + "SD", 0);
    EXPECT_EQ(old.out(), "RF");
    const uint64_t gone = old.asked();
    old.s->peer_closed(5);
    ASSERT_NE(old.host.last(EventKind::QuestionWithdrawn), nullptr);
    EXPECT_EQ(old.host.last(EventKind::QuestionWithdrawn)->qid, gone);
    old.s->answer(gone, 1, 10);
    EXPECT_EQ(old.out(), "");
    next.in(offer("one.txt", "1") + "SD", 0);
    EXPECT_EQ(next.out(), "RF");
    EXPECT_NE(next.asked(), gone);
    next.s->answer(gone, 1, 10);
    EXPECT_EQ(next.out(), "");
}

TEST(SessionReceive, PicturePreviewKeptInMemoryThenAsked)
{
    const std::string big(Session::PREVIEW_BYTES + 10, 'p');
    struct Case {
        std::string preview, kept;
        int auto_accept;
    } cases[] = {
        {"JPEGDATA", "JPEGDATA", 0},
        {big, big.substr(0, Session::PREVIEW_BYTES), 0},
        {"JPEGDATA", "", 1},
    };
    for (const Case& k : cases) {
        Call c([&](SessionConfig& cfg) { cfg.auto_accept = k.auto_accept; });
        const std::string body = "the picture";
        c.in("IMGJOXp.jpgMD5JOX" + md5_of(body), 0);
        EXPECT_EQ(c.out(), "RF");
        c.in(wire_frame_header(uint32_t(k.preview.size())), 10);
        for (std::size_t at = 0; at < k.preview.size(); at += 65536)
            c.in(k.preview.substr(at, 65536), 20);
        EXPECT_EQ(names_in(c.inbox()), std::vector<std::string>{}) << "a preview is never stored";
        const EngineEvent* q = c.host.last(EventKind::Question);
        ASSERT_EQ(q != nullptr, !k.auto_accept);
        if (q) {
            EXPECT_EQ(q->code, QUESTION_ACCEPT_IMAGE);
            EXPECT_TRUE(q->preview == k.kept) << q->preview.size();
            EXPECT_EQ(c.out(), "");
            c.s->answer(q->qid, 1, 30);
        }
        EXPECT_EQ(c.out(), "a");
        c.in(frame(body), 40);
        EXPECT_EQ(c.out(), "sent");
        EXPECT_EQ(read_all(c.inbox() + "p.jpg"), body);
    }
}

// --- Our offers ------------------------------------------------------------------

TEST(SessionSend, NoticeThenPacedOfferThenFrames)
{
    struct Case {
        std::string name, body, preview, token;
    } cases[] = {
        {"out.txt", "payload", "", "NAMEJOXout.txtSIZEJOXsizejox7MD5JOX"},
        {"p.jpg", "the picture", "PREVIEW", "IMGJOXp.jpgMD5JOX"},
    };
    for (const Case& k : cases) {
        Call c;
        const std::string path = c.file(k.name, k.body);
        c.s->send_paths({path}, 0);
        EXPECT_EQ(c.out(), "SendingSeindingJOXFile");
        ASSERT_EQ(c.host.paths, std::vector<std::string>{path});
        c.prepared(0, k.preview);
        EXPECT_EQ(c.out(), "");
        c.now = 249;
        EXPECT_EQ(c.out(), "") << "paced 250 ms after the notice";
        c.now = 250;
        EXPECT_EQ(c.out(), k.token + md5_file(path.c_str()));
        EXPECT_EQ(c.run({{300, "RF"}}), k.preview.empty() ? "SD" : frame(k.preview)) << k.name;
        EXPECT_EQ(c.run({{400, "a"}}), frame(k.body)) << k.name;
        ASSERT_NE(c.host.last(EventKind::Progress), nullptr);
        EXPECT_EQ(c.host.last(EventKind::Progress)->done, int64_t(k.body.size()));
    }
}

// From the offer written at 250 ms: what the peer sends, what we send back,
// how the file ended and how the call did (-1: still up).
struct SendRow {
    const char* what;
    std::vector<Step> steps;
    std::string out;
    std::vector<int> outcomes;
    int ended;
};

TEST(SessionSend, WaitingForRF)
{
    const SendRow rows[] = {
        {"typing notice first", {{300, "SendingMessageJOX"}, {350, "RF"}}, "RMSD", {}, -1},
        {"RF in two pieces", {{300, "R"}, {400, "F"}}, "SD", {}, -1},
        {"busy line", {{300, "JOXBusy"}}, "", {OUTCOME_GONE}, END_BUSY},
        // A reply to what came before the goodbye still goes, as it would have at once.
        {"RF then goodbye", {{300, "RFByeByeByeDisconnec"}}, "SD", {OUTCOME_GONE}, END_PEER_LEFT},
        {"not yet", {{2249, ""}}, "", {}, -1},
        {"no RF in time", {{2250, ""}}, BYE, {OUTCOME_NO_ANSWER}, END_NO_ANSWER},
    };
    for (const SendRow& r : rows) {
        Call c;
        c.offered({c.file("out.txt", "payload")});
        EXPECT_EQ(c.run(r.steps), r.out) << r.what;
        EXPECT_EQ(c.host.codes(EventKind::OfferOutcome), r.outcomes) << r.what;
        EXPECT_EQ(c.host.codes(EventKind::CallEnded), r.ended < 0 ? std::vector<int>{} : std::vector<int>{r.ended})
            << r.what;
        if (r.ended == END_BUSY) {
            EXPECT_EQ(c.host.codes(EventKind::Notice), std::vector<int>{NOTICE_BUSY});
        }
    }
}

TEST(SessionSend, VerdictAfterSent)
{
    // The body went out at 400 ms; the settle limit is 2 s after "sent".
    const SendRow rows[] = {
        {"sent, then quiet", {{500, "sent"}, {2499, ""}, {2500, ""}}, "", {OUTCOME_DELIVERED}, 1},
        {"sent and notice together", {{500, "sent" + NOTICE}}, "", {OUTCOME_CORRUPTED}, 0},
        {"notice 100 ms later", {{500, "sent"}, {600, NOTICE}}, "", {OUTCOME_CORRUPTED}, 0},
        {"sent, then a typing notice", {{500, "sent"}, {600, "SendingMessageJOX"}}, "RM", {OUTCOME_DELIVERED}, 1},
    };
    for (const SendRow& r : rows) {
        Call c;
        c.offered({c.file("out.txt", "payload")});
        c.run({{300, "RF"}, {400, "a"}});
        EXPECT_EQ(c.run(r.steps), r.out) << r.what;
        EXPECT_EQ(c.host.codes(EventKind::OfferOutcome), r.outcomes) << r.what;
        EXPECT_EQ(c.host.codes(EventKind::SendDone), std::vector<int>{r.ended}) << r.what;
    }
}

TEST(SessionSend, LateNoticeIsNotTakenForTheNextReply)
{
    Call c;
    c.offered({c.file("one.txt", "1"), c.file("two.txt", "2")});
    c.run({{300, "RF"}, {350, "a"}, {400, "sent"}});
    ASSERT_EQ(c.host.paths.size(), 2u);
    c.prepared(1);
    EXPECT_EQ(c.run({{500, ""}}).substr(0, 14), "NAMEJOXtwo.txt");
    EXPECT_EQ(c.run({{700, NOTICE}, {800, "RF"}}), "SD");
    EXPECT_EQ(c.host.codes(EventKind::OfferOutcome), std::vector<int>{OUTCOME_CORRUPTED});
    EXPECT_EQ(c.s->ended(), SESSION_LIVE);
}

// --- Both sides ------------------------------------------------------------------

// A sender and a receiver wired to each other; the clock jumps to the next
// deadline whenever no byte moves. Questions are answered `yes`.
TEST(SessionPair, OneFileEndToEnd)
{
    struct Case {
        const char* what;
        std::string name, body, preview;
        int wrong_md5, yes, outcome, sent;
    } cases[] = {
        {"plain file", "note.txt", "hello\n", "", 0, 1, OUTCOME_DELIVERED, 1},
        {"empty file", "empty.txt", "", "", 0, 1, OUTCOME_DELIVERED, 1},
        {"wrong fingerprint", "note.txt", "hello\n", "", 1, 1, OUTCOME_CORRUPTED, 0},
        {"picture", "p.jpg", std::string(300000, 'j'), "PREVIEW", 0, 1, OUTCOME_DELIVERED, 1},
        {"declined", "note.txt", "hello\n", "", 0, 0, OUTCOME_DECLINED, 0},
    };
    for (const Case& k : cases) {
        Call a, b;
        a.s->send_paths({a.file(k.name, k.body)}, 0);
        ASSERT_EQ(a.host.tickets.size(), 1u);
        std::string md5 = k.wrong_md5 ? std::string(32, 'f') : md5_file(a.host.paths[0].c_str());
        a.s->prepared(a.host.tickets[0], md5, int64_t(k.body.size()), k.preview, 0);
        std::size_t answered = 0;
        int64_t now = 0;
        for (int i = 0; i < 1000 && a.host.all(EventKind::SendDone).empty(); ++i) {
            auto qs = b.host.all(EventKind::Question);
            for (; answered < qs.size(); ++answered) b.s->answer(qs[answered]->qid, k.yes, now);
            a.now = b.now = now;
            std::string ab = a.out(), ba = b.out();
            if (!ab.empty()) b.in(ab, now);
            if (!ba.empty()) a.in(ba, now);
            if (ab.empty() && ba.empty()) {
                now = std::max(now, std::min(a.s->deadline(now), b.s->deadline(now)));
                if (now == INT64_MAX) break;
                a.tick(now);
                b.tick(now);
            }
        }
        EXPECT_EQ(a.host.codes(EventKind::OfferOutcome), std::vector<int>{k.outcome}) << k.what;
        EXPECT_EQ(a.host.codes(EventKind::SendDone), std::vector<int>{k.sent}) << k.what;
        auto stored = b.host.all(EventKind::Stored);
        ASSERT_EQ(stored.size(), k.yes ? 1u : 0u) << k.what;
        if (k.yes) {
            EXPECT_EQ(stored[0]->good, !k.wrong_md5) << k.what;
            EXPECT_EQ(read_all(b.inbox() + k.name), k.body) << k.what;
        }
        const EngineEvent* q = b.host.last(EventKind::Question);
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(q->code, k.preview.empty() ? QUESTION_ACCEPT_FILE : QUESTION_ACCEPT_IMAGE) << k.what;
        EXPECT_EQ(q->preview, k.preview) << k.what;
        EXPECT_EQ(q->name, k.name) << k.what;
        EXPECT_EQ(a.s->ended(), SESSION_LIVE) << k.what;
        EXPECT_EQ(b.s->ended(), SESSION_LIVE) << k.what;
    }
}

// --- Bounds ----------------------------------------------------------------------

// Each wait that a peer can leave hanging: nothing at `at` - 1 ms, then the
// status or the end of the call; nothing partial is left in the folder.
TEST(SessionBounds, EveryWaitEnds)
{
    const std::string hello = "hello";
    struct Case {
        const char* what;
        std::function<void(Call&)> before;
        int64_t at;
        std::string status;
        int ended;  // -1: the call stays up
    } cases[] = {
        {"SD", [&](Call& c) { c.run({{0, offer("x", hello)}}); }, 2000, "Connected. File Not Accepted.", -1},
        {"the frame after our a", [&](Call& c) { c.run({{0, offer("x", hello) + "SD"}}); }, 30000,
         "Connected. File Not Received.", -1},
        {"a preview", [&](Call& c) { c.run({{0, "IMGJOXp.jpgMD5JOX" + md5_of(hello)}}); }, 30000,
         "User Disconnected.", END_PEER_LEFT},
        {"a body under way", [&](Call& c) { c.run({{0, offer("x", hello) + "SD"}, {10, frame(hello).substr(0, 14)}}); },
         30010, "Disconnected. The transfer stalled.", END_STALLED},
        {"a preview under way",
         [&](Call& c) { c.run({{0, "IMGJOXp.jpgMD5JOX" + md5_of(hello)}, {10, frame("PREVIEW").substr(0, 14)}}); },
         30010, "Disconnected. The transfer stalled.", END_STALLED},
        {"an unasked frame", [&](Call& c) { c.run({{0, wire_frame_header(1000000)}, {10000, "x"}, {20000, "x"}}); },
         30000, "Disconnected.", END_OUT_OF_STEP},
        {"our bytes unread", [&](Call& c) { c.s->typing(1, 0); }, 30000, "User Disconnected.", END_STALLED},
    };
    for (const Case& k : cases) {
        Call c([](SessionConfig& cfg) { cfg.auto_accept = 1; });
        k.before(c);
        c.tick(k.at - 1);
        EXPECT_FALSE(c.host.said(k.status)) << k.what;
        EXPECT_EQ(c.s->ended(), SESSION_LIVE) << k.what;
        c.tick(k.at);
        EXPECT_TRUE(c.host.said(k.status)) << k.what;
        EXPECT_EQ(c.host.codes(EventKind::CallEnded), k.ended < 0 ? std::vector<int>{} : std::vector<int>{k.ended})
            << k.what;
        EXPECT_EQ(names_in(c.inbox()), std::vector<std::string>{}) << k.what;
    }
}

// Neither a typing flood nor our own chat flood to a peer that reads
// nothing makes the out-queue grow without bound.
TEST(SessionBounds, Floods)
{
    Call c;
    std::string hundred;
    for (int i = 0; i < 100; ++i) hundred += "SendingMessageJOX";
    for (int i = 0; i < 100; ++i) c.in(hundred, i);
    EXPECT_EQ(c.out(), "RM");
    EXPECT_EQ(c.s->ended(), SESSION_LIVE);

    Call d;
    const std::string line(1000, 'x');
    int lines = 0;
    for (; lines < 5000 && d.s->ended() == SESSION_LIVE; ++lines) d.s->chat(line, lines);
    EXPECT_LE(lines, int(Outbox::BYTE_LIMIT / line.size()) + 1);
    EXPECT_EQ(d.host.codes(EventKind::CallEnded), std::vector<int>{END_STALLED});
    EXPECT_EQ(d.out(), "");
}

// The host ticks only at deadline(); a wrong deadline is a call ended for
// nothing, or a loop that spins.
TEST(SessionBounds, DeadlinesTheHostCanLiveWith)
{
    // Quiet for 40 s (nothing due, so no tick), then a chat line.
    Call c;
    EXPECT_EQ(c.s->deadline(0), INT64_MAX);
    c.s->chat("hi", 40000);
    c.tick(std::max<int64_t>(40000, c.s->deadline(40000)));
    EXPECT_EQ(c.s->ended(), SESSION_LIVE) << "a chat line after a quiet spell ended the call";
    c.now = 40100;
    EXPECT_EQ(c.out(), "mMeSSageJOXAnonymous: hiEeNdofMessageJOX");

    // A reply waiting for the socket: writability moves it, not the clock.
    Call d;
    d.in(offer("x.txt", "XYZ"), 100);
    EXPECT_GT(d.s->deadline(100), 100) << "the host would tick without pause";
}

}  // namespace

// --- Between two jox programs ---------------------------------------------------

// The calling side probes once, alone and after its nickname; only a called
// program that knows the extension answers, only in time, and only then may
// a file of 2 GiB or more be offered, with a 64-bit size.
TEST(SessionExtensions, ProbeAnswerAndFilesOfAnySize)
{
    const std::string probe = "JXC1 HELLO ext=size64,stream\n";
    struct Row {
        const char* what;
        std::string answer;  // what the called side says back ("" nothing)
        int64_t answer_at;
        int extended;
    } rows[] = {
        {"a jox program", "JXC1 OK ext=size64\n", 300, 1},
        {"a program of the original protocol", "", 0, 0},
        {"an answer after the Timeout", "JXC1 OK ext=size64\n", 2300, 0},
        {"an answer naming nothing we know", "JXC1 OK ext=other\n", 300, 0},
    };
    for (const Row& r : rows) {
        TempDir dir;
        Recorder host;
        SessionConfig cfg;
        cfg.receive_folder = dir.path + "/inbox/";
        Session s(cfg, ROLE_CALLER, 1, 0, &host);
        s.start(0);
        // What goes out at `now`; of a frame, its head is enough.
        auto out = [&](int64_t now, int pieces = 100) {
            std::string all;
            const char* data = nullptr;
            for (std::size_t n; pieces-- > 0 && (n = s.output(&data, now)) > 0;) {
                all.append(data, std::min<std::size_t>(n, 256));
                s.wrote(n, now);
            }
            return all;
        };
        EXPECT_EQ(out(0), "JOXNICKNAMEIS") << r.what;
        EXPECT_EQ(out(249), "") << r.what;  // alone: not in the nickname's receive
        EXPECT_EQ(out(250), probe) << r.what;
        if (!r.answer.empty()) s.feed(r.answer.data(), r.answer.size(), r.answer_at);
        EXPECT_EQ(s.extensions(), r.extended ? int(Session::EXT_SIZE64) : 0) << r.what;

        // A sparse file just over the original limit.
        std::string big = dir.path + "/big.iso";
        std::ofstream(big).close();
        std::filesystem::resize_file(big, (uint64_t(1) << 31) + 5);
        s.send_paths({big}, 3000);
        out(3000);
        if (!r.extended) {
            EXPECT_EQ(host.codes(EventKind::OfferOutcome), std::vector<int>{OUTCOME_TOO_LARGE}) << r.what;
            EXPECT_TRUE(host.tickets.empty()) << r.what;  // not fingerprinted first
            continue;
        }
        ASSERT_EQ(host.tickets.size(), 1u) << r.what;
        s.prepared(host.tickets[0], std::string(32, 'c'), (int64_t(1) << 31) + 5, "", 3000);
        EXPECT_EQ(out(3500), "JXC1 OFFER64 size=2147483653 md5=" + std::string(32, 'c') + " name=big.iso\n");
        s.feed("RF", 2, 3600);
        EXPECT_EQ(out(3600), "SD");
        s.feed("a", 1, 3700);
        EXPECT_EQ(out(3700, 1), wire_frame_header((uint64_t(1) << 31) + 5));
    }
}

// The called side answers a probe with what both know, never sends an
// extension token unasked, and takes a 64-bit offer only once agreed.
TEST(SessionExtensions, CalledSideAnswersAndTakesLargeOffers)
{
    const std::string offer64 = "JXC1 OFFER64 size=3000000000 md5=" + std::string(32, 'a') + " name=disk%20image.iso\n";
    for (int probed : {0, 1}) {
        Call c([](SessionConfig& cfg) { cfg.auto_accept = 0; });
        std::string said = c.run({{0, "JOXNICKNAMEISBob"}});
        if (probed) said += c.run({{250, "JXC1 HELLO ext=size64,later\n"}});
        EXPECT_EQ(said, probed ? "JXC1 OK ext=size64\n" : "") << probed;
        EXPECT_EQ(c.run({{300, offer64}}), probed ? "RF" : "") << probed;
        if (!probed) continue;
        c.run({{310, "SD"}});
        const EngineEvent* q = c.host.last(EventKind::Question);
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(q->name, "disk image.iso");
        EXPECT_EQ(q->size, 3000000000LL);
    }
}

namespace {

const std::string STREAMS = "JXC1 HELLO ext=size64,stream\n";

// `path` from a jox caller to a jox answerer (auto-accept) storing into
// `inbox`, wired directly. The line drops once `cut_at` bytes went the
// caller's way (-1: never); the fingerprint is answered before the offer,
// after the body (`late` 1) or never (2); `md5` replaces it when given.
struct StreamRun {
    std::string accept;       // the answerer's "JXC1 ACCEPT ..." line
    int64_t moved = 0;        // bytes from caller to answerer
    std::vector<int> outcome; // the caller's
    std::vector<int> stored;  // the answerer's verdicts (good)
    std::vector<int64_t> resumed;
};

StreamRun stream_run(const std::string& inbox, const std::string& path, int64_t cut_at, int late = 0,
                     const std::string& md5 = "")
{
    StreamRun r;
    Recorder ha, hb;
    SessionConfig ca, cb;
    ca.receive_folder = inbox + "unused/";
    cb.receive_folder = inbox;
    cb.auto_accept = 1;
    Session a(ca, ROLE_CALLER, 1, 0, &ha), b(cb, ROLE_ANSWERER, 1, 0, &hb);
    a.start(0);
    b.start(0);
    int64_t now = 0;
    std::size_t served = 0;
    int sent_files = 0;
    for (int i = 0; i < 100000 && a.ended() == SESSION_LIVE && ha.all(EventKind::SendDone).empty(); ++i) {
        if (!sent_files && a.extensions()) {
            a.send_paths({path}, now);
            sent_files = 1;
        }
        const EngineEvent* shown = ha.last(EventKind::Progress);
        int body_done = shown && shown->done == shown->total;
        for (; served < ha.tickets.size() && (!late || (late == 1 && body_done)); ++served)
            a.prepared(ha.tickets[served], md5.empty() ? md5_file(path.c_str()) : md5,
                       int64_t(std::filesystem::file_size(path)), "", now);
        const char* data = nullptr;
        std::size_t n = a.output(&data, now), m = 0;
        if (n > 0) {
            n = std::min<std::size_t>(n, 65536);
            if (cut_at >= 0) n = std::min<std::size_t>(n, std::size_t(cut_at - r.moved));
            std::string piece(data, n);
            a.wrote(n, now);
            r.moved += int64_t(n);
            b.feed(piece.data(), n, now);
            if (cut_at >= 0 && r.moved >= cut_at) {
                b.peer_closed(now);
                break;
            }
        }
        if ((m = b.output(&data, now)) > 0) {
            std::string piece(data, m);
            b.wrote(m, now);
            if (piece.rfind("JXC1 ACCEPT", 0) == 0) r.accept = piece;
            a.feed(piece.data(), m, now);
        }
        if (n == 0 && m == 0) {
            now = std::max(now + 1, std::min(a.deadline(now), b.deadline(now)));
            if (now >= INT64_MAX / 2) break;
            a.tick(now);
            b.tick(now);
        }
    }
    r.outcome = ha.codes(EventKind::OfferOutcome);
    for (const EngineEvent* e : hb.all(EventKind::Stored)) r.stored.push_back(e->good);
    for (const EngineEvent* e : hb.all(EventKind::Resuming)) r.resumed.push_back(e->from);
    return r;
}

}  // namespace

// Between two jox programs a file goes as a stream, its fingerprint after
// the body; a cut leaves a part that the same file offered again goes on
// from; anything that does not match starts clean, never a wrong file.
TEST(SessionExtensions, StreamsAndResumes)
{
    const int64_t SIZE = (1 << 20) + 17;
    std::string body(std::size_t(SIZE), '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = char(i * 131 + i / 977);
    struct Row {
        const char* what;
        int64_t cut;          // the first offer's line drops after this many bytes (-1 none)
        int change;           // the file changes before the second offer
        int late;             // the first fingerprint comes after the body (1) or never (2)
        int wrong;            // the second offer's fingerprint is wrong
        int64_t from;         // where the second offer starts (-1: none; -2: where the cut was)
        int good;             // the last verdict
    } rows[] = {
        {"one stream", -1, 0, 0, 0, -1, 1},
        {"fingerprint after the body", -1, 0, 1, 0, -1, 1},
        {"cut at 40 % and offered again", SIZE * 4 / 10, 0, 0, 0, -2, 1},
        {"a body whose fingerprint never came", -1, 0, 2, 0, SIZE, 1},
        {"changed before it was offered again", SIZE / 2, 1, 0, 0, 0, 1},
        {"resumed and failing its check", SIZE / 2, 0, 0, 1, -2, 0},
    };
    for (const Row& r : rows) {
        TempDir dir;
        std::string inbox = dir.path + "/inbox/", path = dir.path + "/big.bin";
        std::ofstream(path, std::ios::binary) << body;
        StreamRun first = stream_run(inbox, path, r.cut, r.late);
        EXPECT_TRUE(first.accept == "JXC1 ACCEPT from=0\n") << r.what << ": " << first.accept;
        if (r.from == -1) {
            EXPECT_EQ(first.stored, std::vector<int>{1}) << r.what;
            EXPECT_EQ(first.outcome, std::vector<int>{OUTCOME_DELIVERED}) << r.what;
            EXPECT_LT(first.moved, SIZE + 400) << r.what;
            EXPECT_EQ(names_in(inbox), std::vector<std::string>{"big.bin"}) << r.what;
            EXPECT_TRUE(read_all(inbox + "big.bin") == body) << r.what;
            continue;
        }
        EXPECT_EQ(first.stored, std::vector<int>{}) << r.what;
        EXPECT_EQ(names_in(inbox), (std::vector<std::string>{"big.bin.jox-part", "big.bin.jox-resume"})) << r.what;
        std::string sent = body;
        if (r.change) {
            sent[0] ^= 1;
            std::ofstream(path, std::ios::binary) << sent;
            struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
            utimensat(AT_FDCWD, path.c_str(), times, 0);
        }
        StreamRun second = stream_run(inbox, path, -1, 0, r.wrong ? std::string(32, 'e') : "");
        int64_t from = r.from;
        // What the first run moved beyond the tokens and the header.
        if (r.from == -2) {
            ASSERT_EQ(second.resumed.size(), 1u) << r.what;
            from = second.resumed[0];
            EXPECT_GT(from, r.cut - 200) << r.what;
            EXPECT_LE(from, r.cut) << r.what;
        }
        EXPECT_EQ(second.accept, "JXC1 ACCEPT from=" + std::to_string(from) + "\n") << r.what;
        EXPECT_LT(second.moved, SIZE - from + 400) << r.what;
        EXPECT_EQ(second.stored, std::vector<int>{r.good}) << r.what;
        EXPECT_EQ(second.outcome, std::vector<int>{r.good ? OUTCOME_DELIVERED : OUTCOME_CORRUPTED}) << r.what;
        EXPECT_EQ(names_in(inbox), std::vector<std::string>{"big.bin"}) << r.what;
        if (r.good) {
            EXPECT_TRUE(read_all(inbox + "big.bin") == sent) << r.what;
        }
        if (!r.good) {
            // Offered again after a failed check: from the start.
            std::filesystem::remove(inbox + "big.bin");
            StreamRun third = stream_run(inbox, path, -1);
            EXPECT_EQ(third.accept, "JXC1 ACCEPT from=0\n") << r.what;
            EXPECT_EQ(third.stored, std::vector<int>{1}) << r.what;
        }
    }
}

// What a stranger may say in the extended tokens: each row ends cleanly,
// stores nothing under a final name that is not whole and checked, and
// leaves nothing waiting.
TEST(SessionExtensions, HostileStreamTokens)
{
    const std::string offer10 = "JXC1 FILE size=10 time=5 name=a.txt\n";
    const std::string ten = "0123456789";
    struct Row {
        const char* what;
        std::string state;        // a resume state already in the inbox ("" none)
        std::vector<Step> steps;  // after the probe
        std::string said;         // all the answerer sent after its OK
        int ended;                // the call is over
        std::vector<std::string> names;
    } rows[] = {
        {"a frame of another size", "", {{300, offer10}, {310, "SD"}, {320, frame(ten + ten)}},
         "RFJXC1 ACCEPT from=0\n" + BYE, 1, {}},
        {"a fingerprint that never comes", "", {{300, offer10}, {310, "SD"}, {320, frame(ten)}, {70000, ""}},
         "RFJXC1 ACCEPT from=0\n" + BYE, 1, {"a.txt.jox-part", "a.txt.jox-resume"}},
        {"a fingerprint that does not match", "",
         {{300, offer10}, {310, "SD"}, {320, frame(ten)}, {330, "JXC1 MD5 " + std::string(32, '0') + "\n"}},
         "RFJXC1 ACCEPT from=0\nsent" + NOTICE, 0, {"a.txt"}},
        {"a fingerprint line with no fingerprint", "",
         {{300, offer10}, {310, "SD"}, {320, frame(ten)}, {330, "JXC1 MD5\n"}},
         "RFJXC1 ACCEPT from=0\nsent" + NOTICE, 0, {"a.txt"}},
        {"a resume state without its part", "jox-resume 1 10 5 4 4 67452301 efcdab89 98badcfe 10325476 30313233-\n",
         {{300, offer10}, {310, "SD"}, {320, frame(ten)}, {330, "JXC1 MD5 " + md5_of(ten) + "\n"}},
         "RFJXC1 ACCEPT from=0\nsent", 0, {"a.txt"}},
        {"a name of our parts", "",
         {{300, "JXC1 FILE size=10 time=5 name=a.txt.jox-resume\n"}, {310, "SD"}, {320, frame(ten)},
          {330, "JXC1 MD5 " + md5_of(ten) + "\n"}},
         "RFJXC1 ACCEPT from=0\nsent", 0, {"a.txt.jox-resume_"}},
        {"a size past 63 bits", "", {{300, "JXC1 FILE size=9223372036854775808 time=5 name=a\n"}}, "", 0, {}},
        {"a fingerprint nobody waits for", "", {{300, "JXC1 MD5 " + md5_of(ten) + "\n"}}, "", 0, {}},
    };
    for (const Row& r : rows) {
        Call c([](SessionConfig& cfg) { cfg.auto_accept = 1; });
        c.run({{0, "JOXNICKNAMEISx"}});
        EXPECT_EQ(c.run({{250, STREAMS}}), "JXC1 OK ext=size64,stream\n") << r.what;
        if (!r.state.empty()) {
            std::filesystem::create_directories(c.inbox());
            std::ofstream(c.inbox() + "a.txt.jox-resume") << r.state;
        }
        EXPECT_EQ(c.run(r.steps), r.said) << r.what;
        EXPECT_EQ(c.s->ended() != SESSION_LIVE, r.ended != 0) << r.what;
        EXPECT_EQ(c.s->deadline(c.now), INT64_MAX) << r.what;
        EXPECT_EQ(names_in(c.inbox()), r.names) << r.what;
    }

    // Unasked answers and offsets: a called side takes no "OK", a caller
    // that did not probe takes none, and an offset past the file ends the
    // call before a byte of it goes.
    Call answerer;
    EXPECT_EQ(answerer.run({{0, "JOXNICKNAMEISx"}, {250, "JXC1 OK ext=size64,stream\n"}}), "");
    EXPECT_EQ(answerer.s->extensions(), 0);
    Recorder host;
    SessionConfig plain;
    plain.extensions = 0;
    Session quiet(plain, ROLE_CALLER, 1, 0, &host);
    quiet.start(0);
    quiet.feed("JXC1 OK ext=size64,stream\n", 26, 100);
    EXPECT_EQ(quiet.extensions(), 0);

    TempDir dir;
    Recorder h;
    SessionConfig cfg;
    Session s(cfg, ROLE_CALLER, 1, 0, &h);
    s.start(0);
    std::string said;
    auto out = [&](int64_t now) {
        const char* data = nullptr;
        for (std::size_t n; (n = s.output(&data, now)) > 0;) {
            said.append(data, n);
            s.wrote(n, now);
        }
    };
    out(300);
    s.feed("JXC1 OK ext=size64,stream\n", 26, 300);
    std::ofstream(dir.path + "/f.txt") << ten;
    s.send_paths({dir.path + "/f.txt"}, 300);
    out(300);
    s.feed("RF", 2, 310);
    s.feed("SD", 2, 320);
    out(320);
    said.clear();
    s.feed("JXC1 ACCEPT from=11\n", 20, 330);
    out(330);
    EXPECT_EQ(said, BYE);
    EXPECT_EQ(h.codes(EventKind::CallEnded), std::vector<int>{END_OUT_OF_STEP});
}
