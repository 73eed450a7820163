// File frames: exact bytes on the wire, whole files stored byte for byte
// between two real connections, what stays on the connection after a frame
// or a failure, and the progress and piece hooks.
#include "net_fixture.h"

#include "frame.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <vector>

using namespace net_test;

namespace {

struct Hooked {
    std::vector<int64_t> done;  // progress reports
    int64_t total = -1;
    std::string pieces;         // body pieces seen by the receiver
    int abandon_at_call = -1;   // report number that asks to abandon
};

int hooked_progress(void* ctx, int64_t done, int64_t total) {
    Hooked* h = static_cast<Hooked*>(ctx);
    h->done.push_back(done);
    h->total = total;
    return (int)h->done.size() - 1 == h->abandon_at_call;
}

void hooked_piece(void* ctx, const void* data, size_t n) {
    static_cast<Hooked*>(ctx)->pieces.append(static_cast<const char*>(data), n);
}

void expect_reports_grow_to(const Hooked& h, int64_t total) {
    ASSERT_FALSE(h.done.empty());
    EXPECT_EQ(h.total, total);
    for (size_t i = 1; i < h.done.size(); i++) EXPECT_LE(h.done[i - 1], h.done[i]);
    EXPECT_EQ(h.done.back(), total);
}

} // namespace

TEST_F(NetTest, FrameOfAbcIsFifteenBytes) {
    int raw;
    NetConnection* c = accept_caller(&raw);
    write_file(path("abc.txt"), "abc");
    ASSERT_EQ(net_send_file(c, path("abc.txt").c_str()), 1);
    EXPECT_EQ(raw_read(raw, 15), std::string("PBMGSFLE\x03\x00\x00\x00" "abc", 15));
    EXPECT_EQ(raw_drain(raw, 100), "");
    close(raw);
}

// A forked sender and this process as receiver, each way round. The target
// holds a longer, executable file first: it must be replaced entirely and
// lose the execute bits. A token right after the frame must stay for the
// next poll.
TEST_F(NetTest, FilesTravelWholeBetweenConnections) {
    struct {
        size_t size;
        bool from_caller;  // the outgoing side sends
    } rows[] = {{0, true}, {3, false}, {18000, true}, {18001, false}, {3 * 1024 * 1024 + 7, true}};
    NetConnection* out = net_connect("127.0.0.1", port);
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(poll_event(), NET_CONNECT);
    NetConnection* in = net_event_connection();

    for (const auto& r : rows) {
        std::string body = pattern(r.size, (unsigned)r.size);
        std::string src = path("src.bin"), dst = path("dst.bin");
        write_file(src, body);
        write_file(dst, std::string(50000, 'x'));
        chmod(dst.c_str(), 0755);
        NetConnection* sender = r.from_caller ? out : in;
        NetConnection* receiver = r.from_caller ? in : out;

        pid_t child = fork();
        if (child == 0) {
            int ok = net_send_file(sender, src.c_str()) == 1 && net_send_text(sender, "sent") == 4;
            _exit(ok ? 0 : 1);
        }
        for (int i = 0; i < 5000; i++) {
            int e = r.from_caller ? net_server_poll() : net_client_poll(receiver);
            if (e == NET_FILE) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        Hooked h;
        NetFileHooks hooks{hooked_progress, hooked_piece, &h};
        EXPECT_EQ(net_receive_file(receiver, dst.c_str(), &hooks), 1) << r.size;
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_EQ(status, 0);

        EXPECT_TRUE(read_file(dst) == body) << r.size;
        EXPECT_TRUE(h.pieces == body) << r.size;
        expect_reports_grow_to(h, (int64_t)r.size);
        struct stat st{};
        ASSERT_EQ(stat(dst.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0111, 0u);

        int next = r.from_caller ? net_server_poll() : net_client_poll(receiver);
        EXPECT_EQ(next, NET_DATA);
        char token[8];
        EXPECT_EQ(net_receive(receiver, token, sizeof token), 4);
        EXPECT_EQ(std::string(token, 4), "sent");
    }
    net_close(out);
}

TEST_F(NetTest, RefusedSourcesPutNothingOnTheWire) {
    int raw;
    NetConnection* c = accept_caller(&raw);
    std::string huge = path("huge.bin");
    int fd = open(huge.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(ftruncate(fd, (off_t)1 << 31), 0);  // sparse: no disk used
    close(fd);
    for (std::string source : {path("missing.bin"), dir, huge}) {
        EXPECT_EQ(net_send_file(c, source.c_str()), 0) << source;
    }
    EXPECT_EQ(net_send_text(c, "z"), 1);
    EXPECT_EQ(raw_drain(raw, 100), "z");
    close(raw);
}

// What the peer writes, whether it then closes, and what the receive must
// give, store and leave on the connection.
TEST_F(NetTest, ReceiveEndsOnEveryBrokenFrame) {
    struct {
        const char* name;
        std::string wire;
        bool peer_closes;
        const char* target;      // relative to the test folder unless absolute
        int result;
        size_t stored;           // bytes in the target afterwards
        std::string left;        // what a plain receive then finds
    } rows[] = {
        {"closes mid-body", frame_header(100000) + pattern(5000), true, "t", 0, 5000, ""},
        {"stalls mid-body", frame_header(100000) + pattern(5000), false, "t", 0, 5000, ""},
        {"nothing arrives", "", false, "t", 0, 0, ""},
        {"not a frame", "hello", false, "t", 0, 0, "hello"},
        {"uncreatable target", frame_header(2) + "hi", false, "no/such/t", 0, 0,
         frame_header(2) + "hi"},
        {"empty body", frame_header(0) + "RF", false, "t", 1, 0, "RF"},
        // The body is still taken off, so the next token is read as one.
        {"unwritable target", frame_header(3 << 20) + pattern(3 << 20) + "RF", false, "/dev/full",
         0, 0, "RF"},
    };
    net_set_timeouts(0, 300, 0);
    for (const auto& r : rows) {
        int raw;
        NetConnection* c = accept_caller(&raw);
        write_file(path("t"), "older content");
        // A frame larger than the socket buffers needs a reader to get out.
        std::thread writer([&] {
            if (!r.wire.empty()) {
                EXPECT_TRUE(raw_write(raw, r.wire));
            }
            if (r.peer_closes) shutdown(raw, SHUT_WR);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::string target = r.target[0] == '/' ? r.target : path(r.target);
        EXPECT_EQ(net_receive_file(c, target.c_str()), r.result) << r.name;
        writer.join();
        if (r.target == std::string("t")) {
            EXPECT_EQ(read_file(target).size(), r.stored) << r.name;
        }
        char buf[64];
        int n = net_receive(c, buf, sizeof buf);
        EXPECT_EQ(std::string(buf, n > 0 ? n : 0), r.left) << r.name;
        close(raw);
        while (poll_event(200) == NET_DATA) net_receive(c, buf, sizeof buf);
    }
}

// The sender's reports grow to the total while a slow reader paces the
// transfer; a report answered with "stop" ends the send early.
TEST_F(NetTest, SendProgressAndAbandon) {
    const size_t size = 24 * 1024 * 1024;
    write_file(path("big.bin"), pattern(size));
    for (int abandon_at : {-1, 0}) {
        int raw;
        NetConnection* c = accept_caller(&raw);
        size_t received = 0;
        std::thread reader([&] {
            char buf[256 * 1024];
            pollfd p{raw, POLLIN, 0};
            while (poll(&p, 1, 2000) == 1) {
                ssize_t n = recv(raw, buf, sizeof buf, 0);
                if (n <= 0) break;
                received += (size_t)n;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        Hooked h;
        h.abandon_at_call = abandon_at;
        NetFileHooks hooks{hooked_progress, nullptr, &h};
        int result = net_send_file(c, path("big.bin").c_str(), &hooks);
        net_close(c);
        reader.join();
        if (abandon_at < 0) {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(received, size + 12);
            EXPECT_GE(h.done.size(), 2u);
            expect_reports_grow_to(h, (int64_t)size);
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_LT(received, size + 12);
            EXPECT_EQ(h.done.size(), 1u);
        }
        close(raw);
    }
}

TEST_F(NetTest, ReceiveAbandonedByProgress) {
    int raw;
    NetConnection* c = accept_caller(&raw);
    const std::string body = pattern(4 * 1024 * 1024);
    std::thread writer([&] {
        raw_write(raw, frame_header((uint32_t)body.size()));
        for (size_t at = 0; at < body.size(); at += 256 * 1024) {
            raw_write(raw, body.substr(at, 256 * 1024));
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    });
    Hooked h;
    h.abandon_at_call = 0;
    NetFileHooks hooks{hooked_progress, hooked_piece, &h};
    EXPECT_EQ(net_receive_file(c, path("part.bin").c_str(), &hooks), 0);
    EXPECT_EQ(h.done.size(), 1u);
    EXPECT_LT(h.pieces.size(), body.size());
    net_close(c);
    writer.join();
    close(raw);
}
