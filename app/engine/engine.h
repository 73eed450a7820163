// The engine: the listener, the call being placed, the call (a Session over
// one non-blocking connection), callers turned away, connections of ended
// calls, and the worker that fingerprints files we offer. It never waits: a
// host loop asks which descriptors to watch and when the next deadline is,
// waits there itself, and hands back what became ready and the time.
//
// The desktop drives it from Qt's socket notifiers and one timer; the
// command line from poll(). Both read events with next_event() and answer
// questions by their qid.
#pragma once

#include "engine_events.h"
#include "session.h"

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct EngineConfig {
    SessionConfig session;
    int port = 6843;
    int listen = 1;              // 0: never take callers (jox send)
    std::string host_name;       // this machine's name, refused as a callee
};

// Splits "HOST:PORT" (port 1-65535); otherwise the whole text is the host and
// the port is `own_port`. 1 when a port was given.
int engine_split_address(const std::string& address, int own_port, std::string* host, int* port);
// 1 when `address` names this machine as the peer program would see it:
// empty, "127.0.0.1", "localhost" or the host name, the last two in any case
// (A-Z and the Latin-1 capitals 192-222 lowered).
int engine_is_self(const std::string& address, const std::string& host_name);

// Milliseconds of a clock that never jumps; what every `now` is measured in.
int64_t engine_now_ms();

class Engine : public SessionHost {
public:
    // Extra callers hear the busy token, then are read off until they close,
    // for at most this long or this many bytes; at most this many are held.
    static constexpr int64_t HANGUP_LIMIT = 10000;
    static constexpr int64_t HANGUP_BYTES = 256 * 1024;
    static constexpr std::size_t HANGUP_HELD = 64;
    static constexpr int64_t BYE_LIMIT = 1000;      // flushing an ended call's last bytes
    static constexpr std::size_t EVENT_LIMIT = 4096;
    static constexpr int64_t PART_KEEP_SECONDS = 7 * 24 * 3600;
    static constexpr int64_t FINGERPRINT_KEEP_SECONDS = 30 * 24 * 3600;

    Engine();
    ~Engine() override;
    // Listens when configured to; 0 when the port could not be taken (the
    // engine still runs, without callers).
    int start(const EngineConfig& cfg, int64_t now);
    int listening_port() const;
    // Why start() could not listen (an errno value), else 0.
    int listen_error() const { return listen_error_; }
    // New settings: the next call uses them; a call under way keeps its own,
    // and the listener its port.
    void set_config(const EngineConfig& cfg);

    // --- The host loop
    // The descriptors to wait on, as poll() takes them: readable, and
    // writable where our bytes wait to go out.
    void pollfds(std::vector<pollfd>* out, int64_t now) const;
    int64_t deadline(int64_t now) const;
    // One turn: what poll() found in the first `n` entries of `fds`, then
    // the clock.
    void polled(const std::vector<pollfd>& fds, std::size_t n, int64_t now);
    void ready(int fd, int readable, int writable, int64_t now);
    void tick(int64_t now);
    // The oldest event not yet taken; 0 when there is none.
    int next_event(EngineEvent* e);

    // --- Commands
    void place_call(const std::string& address, int64_t now);
    void cancel_call(int64_t now);
    void disconnect(int64_t now);
    void typing(int non_empty, int64_t now);
    void chat(const std::string& text, int64_t now);
    void send_files(int64_t now);
    void send_paths(const std::vector<std::string>& paths, int64_t now);
    void answer(uint64_t qid, int yes, int64_t now);
    void answer_files(uint64_t qid, const std::vector<std::string>& paths, int64_t now);
    void abandon(int64_t now);
    // Says goodbye, stops listening; done() tells when the last bytes are out.
    void shutdown(int64_t now);
    int done() const;

    int phase() const;
    int role() const { return session_ ? role_ : ROLE_NONE; }
    // Callers accepted as the call during this run.
    int calls_taken() const { return calls_; }

    // SessionHost
    void emit(EngineEvent e) override;
    void prepare(int ticket, const std::string& path, int picture) override;

private:
    struct Parting {
        int fd;
        int64_t until;
        int64_t drained;
        std::string out;   // what is still to be written before our end mark
        int shut;
    };
    void accept_callers(int64_t now);
    void take_call(int fd, uint32_t address, int64_t now);
    void turn_away(int fd, int64_t now);
    void part(int fd, std::string out, int64_t now);
    void serve_parting(Parting& p, int readable, int64_t now);
    void read_call(int64_t now);
    void write_call(int64_t now);
    void after_session(int64_t now);
    void finish_work(int64_t now);
    void stop_worker();
    // Where the worker keeps the fingerprints of our files ("" nowhere).
    std::string fingerprint_folder() const;
    void call_placed(int fd, int64_t now);
    SessionConfig session_config() const;
    void say(EventKind kind, int code = 0, const std::string& text = "", int role = 0);

    EngineConfig cfg_;
    int listen_fd_ = -1;
    int attempt_ = 0;
    int listen_error_ = 0;
    std::string attempt_address_;
    int64_t attempt_started_ = 0;
    // The call could not be placed: `why` is a NET_FAILED_* reason.
    void call_failed(int why, int64_t now);
    int call_fd_ = -1;
    int role_ = ROLE_NONE;
    std::unique_ptr<Session> session_;
    uint64_t generation_ = 0;
    int calls_ = 0;
    int shutting_ = 0;
    std::vector<Parting> parting_;
    std::deque<EngineEvent> events_;

    // The worker: one file at a time; its result wakes the loop through a pipe.
    int wake_[2] = {-1, -1};
    std::thread worker_;
    std::atomic<int> work_done_{0};
    std::atomic<int> work_cancel_{0};
    int work_ticket_ = 0;
    uint64_t work_generation_ = 0;
    std::string work_md5_, work_preview_;
    int64_t work_size_ = 0;
};
