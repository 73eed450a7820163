// One call, as state machines that never wait: the peer's bytes and the time
// go in; bytes to send, events and questions for the front end, and the
// next deadline come out. Each wait of a call (a reply, a frame, a person's
// answer) is a state with a deadline, so the host loop always runs.
//
// No sockets here: the engine (engine.h) moves bytes between a Session and
// its connection. Files are read and written here, in pieces.
#pragma once

#include "engine_events.h"
#include "outbox.h"
#include "wire.h"

#include "md5.h"
#include "md5_behind.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

struct SessionConfig {
    std::string nickname;          // "" sends and signs as "Anonymous"
    int timeout_seconds = 2;       // "RF" and "SD" limit; <= 0 means 30 s
    int auto_accept = 0;
    int open_file = 0;
    std::string receive_folder;    // absolute, ends in "/"
    std::string working_folder;    // the program's own files live here (ends in "/")
    int64_t idle_limit_ms = 0;     // no complete unit for this long ends the call (0: never)
    int64_t slow_limit_ms = 0;     // a body slower than 1 KiB/s over this long ends it (0: never)
    int64_t io_limit_ms = 30000;   // our bytes unread, a body or preview without progress
    int64_t settle_ms = 0;         // the verdict after the last "sent" (0: the Timeout, at least 2 s)
    int extensions = 1;            // offer and accept what two jox programs can do more
    int bye_when_sent = 0;         // say goodbye as soon as the last file is "sent" (the
                                   // peer's close then ends the wait for its verdict)
};

// What the session needs of its owner.
class SessionHost {
public:
    virtual ~SessionHost() = default;
    virtual void emit(EngineEvent e) = 0;
    // Work the session cannot do without waiting: the fingerprint (and for a
    // picture the preview) of a file it will offer. The answer comes back
    // through Session::prepared with the same `ticket`.
    virtual void prepare(int ticket, const std::string& path, int picture) = 0;
};

// How a call ends, for the owner: close at once, or send what is queued
// (the goodbye) first.
enum SessionEnd { SESSION_LIVE = 0, SESSION_CLOSE_NOW, SESSION_FLUSH_THEN_CLOSE };

class Session : public FramerSink {
public:
    // Limits, in milliseconds.
    static constexpr int64_t QUIET_LIMIT = 500;      // a unit without a certain end
    static constexpr int64_t RM_LIMIT = 5000;        // "RM" after our typing notice
    static constexpr int64_t PREVIEW_LIMIT = 30000;  // the preview after our "RF"
    static constexpr int64_t CHAT_PAUSE = 100;       // our chat line after our own log shows it
    static constexpr int64_t TOKEN_GAP = 250;        // between our control tokens
    static constexpr int64_t PROGRESS_STEP = 250;    // between progress reports
    static constexpr std::size_t PREVIEW_BYTES = 1 << 20;
    // Extensions two jox programs may agree on.
    enum { EXT_SIZE64 = 1, EXT_STREAM = 2 };
    // A received stream's state is recorded at least this often (bytes), so
    // a receiver killed outright goes on from no further back.
    static constexpr int64_t CHECKPOINT_BYTES = 16 << 20;
    int extensions() const { return ext_; }

    Session(const SessionConfig& cfg, int role, uint64_t generation, int64_t now, SessionHost* host);
    ~Session() override;

    // --- Driven by the owner
    void start(int64_t now);                    // the call is up: first events, nickname
    void feed(const char* data, std::size_t n, int64_t now);
    void peer_closed(int64_t now);
    void tick(int64_t now);
    int64_t deadline(int64_t now) const;
    std::size_t output(const char** data, int64_t now) { return out_.peek(data, now); }
    void wrote(std::size_t n, int64_t now);
    int wants_output(int64_t now) const { return !out_.empty() && out_.next_time(now) <= now; }
    SessionEnd ended() const { return end_; }
    // A frame of ours stands midway (a goodbye now would land inside it).
    int sending_frame() const;

    // --- The user's commands
    void disconnect(int64_t now);
    void typing(int non_empty, int64_t now);
    void chat(const std::string& text, int64_t now);
    // Send File: the selecting notice, then QUESTION_CHOOSE_FILES.
    void send_files(int64_t now);
    // Send File with the paths known already (the command line).
    void send_paths(const std::vector<std::string>& paths, int64_t now);
    void answer(uint64_t qid, int yes, int64_t now);
    void answer_files(uint64_t qid, const std::vector<std::string>& paths, int64_t now);
    // The strip's cancel. A body coming in is read off and dropped (the call
    // stays up, the sender hears it did not arrive); anything of ours ends
    // the call, since a frame cut short leaves the stream out of step.
    void abandon(int64_t now);
    // Worker result for a prepare() ticket: md5 "" when unreadable.
    void prepared(int ticket, const std::string& md5, int64_t size, const std::string& preview, int64_t now);
    // The program closes: goodbye unless our frame is midway.
    void shutdown(int64_t now);

    // FramerSink
    void on_token(int token, std::string_view text) override;
    void on_reply(int reply) override;
    void on_frame_start(int64_t size) override;
    void on_frame_body(const char* data, std::size_t n) override;
    void on_frame_end() override;
    void on_out_of_step() override;
    void on_unknown() override;
    int framer_alive() override { return end_ == SESSION_LIVE; }

private:
    enum SendState { S_NONE, S_CHOOSING, S_PREPARING, S_WAIT_RF, S_PREVIEW, S_WAIT_ANSWER,
                     S_BODY, S_WAIT_HASH, S_WAIT_SENT, S_SETTLE };
    enum InState { I_NONE, I_WAIT_SD, I_WAIT_PREVIEW, I_PREVIEW, I_ASKING, I_ACCEPTED,
                   I_RECEIVING, I_WAIT_TRAILER, I_ASK_OPEN, I_DISCARD };
    enum Tag { TAG_OFFER = 1, TAG_PREVIEW, TAG_BODY, TAG_TYPING, TAG_PROBE };

    void emit(EventKind kind, int code = 0);
    void status(const std::string& text);
    void controls(int set) { emit(EventKind::Controls, set); }
    void queue(OutKind kind, std::string bytes, int tag = 0, int64_t not_before = 0);
    void queue_frame(int fd, int64_t size, std::string body, int tag);
    void token(int token, const std::string& rest = "", int64_t not_before = 0);
    void reply(int reply);
    void end_call(int reason, const std::string& text, int bye, int icon = 1);
    uint64_t new_qid() { return (generation_ << 32) | ++question_seq_; }
    void ask(EngineEvent q);
    void withdraw(uint64_t* qid);

    // Our offers
    void next_file(int64_t now);
    void consider(int64_t now);
    void offer_prepared(int64_t now);
    void stream_offer(int64_t now);
    void body_from(int64_t from);
    void trailer();
    void file_done(int outcome);
    void close_verdict(int corrupted);
    void send_report();
    void sending_progress(int64_t done, int64_t now);
    int idle_counts() const;
    // Their offers
    void offer_in(int token, std::string_view text, int64_t now);
    void extension_in(std::string_view text, int64_t now);
    void take_offer(int image, const std::string& name, const std::string& size, const std::string& md5,
                    int64_t now, int stream = 0);
    void offer_accept(int64_t now);
    void offer_decline();
    void offer_reset();
    void receive_end(int64_t now);
    void receive_verdict(int64_t now);
    // A cut or stopped body: a stream's part stays to go on from, anything
    // else is removed.
    void receive_cut(int tell);
    void checkpoint();
    void verdict(int good);
    void chat_in(std::string_view text);

    SessionConfig cfg_;
    int role_;
    uint64_t generation_;
    uint32_t question_seq_ = 0;
    SessionHost* host_;
    Framer framer_;
    Outbox out_;
    SessionEnd end_ = SESSION_LIVE;
    int64_t now_ = 0;
    int64_t last_write_ = 0;      // our bytes last moved (or the queue was empty)
    int64_t last_unit_ = 0;       // the peer's last complete unit
    int64_t last_sent_ = 0;       // our bytes last moved
    int bye_sent_ = 0;

    // Typing notice of ours: 0 quiet, 1 waiting for "RM", 2 announced.
    int typing_ = 0;
    int64_t rm_deadline_ = INT64_MAX;

    // Send File
    SendState send_ = S_NONE;
    std::vector<std::string> paths_;
    std::size_t file_ = 0;
    int delivered_ = 0;
    int offered_ = 0;             // offers of this Send File that went on the wire
    int verdict_file_ = -1;       // index of a delivered file whose verdict may still come
    int64_t send_deadline_ = INT64_MAX;
    std::string send_md5_;
    int64_t send_size_ = 0;
    std::string send_preview_;
    int send_prepared_ = 0;       // the worker's answer for ticket_ came (held for the probe)
    int send_stream_ = 0;         // the file goes as a stream, its MD5 after the body
    int hash_started_ = 0;        // the worker was asked about the file at hand
    int hash_ticket_ = 0;         // the worker's ticket whose MD5 is the stream's trailer
    int trail_ready_ = 0;
    int64_t send_from_ = 0;       // the peer holds this much of the file already
    uint64_t choose_qid_ = 0;
    int ticket_ = 0;
    int64_t body_started_ = 0;
    int64_t progress_shown_ = 0;
    std::vector<int> outcomes_;

    // Offer of theirs
    InState in_ = I_NONE;
    int in_image_ = 0;
    std::string in_name_, in_md5_, in_size_;
    std::string in_preview_;
    int64_t in_deadline_ = INT64_MAX;
    uint64_t in_qid_ = 0;
    std::string in_path_;
    int in_fd_ = -1;
    int in_write_failed_ = 0;
    Md5 in_hash_;                 // the body's digest, or its start while in_behind_ goes on
    std::unique_ptr<Md5Behind> in_behind_;
    void hash_settle();           // in_hash_ up to date (in_behind_ caught up)
    int64_t in_total_ = 0, in_got_ = 0;
    int64_t in_last_progress_ = 0;
    int64_t in_started_ = 0;
    std::deque<std::pair<int64_t, int64_t>> in_rate_;  // (time, bytes) checkpoints
    int64_t discard_deadline_ = INT64_MAX;
    int in_abandoned_ = 0;        // our user stopped the body: read off, never stored
    int in_stream_ = 0;           // their offer is a stream: a part, an MD5 trailer
    int64_t in_mtime_ = 0;
    int64_t in_from_ = 0;         // bytes the part held when the body began
    int64_t in_saved_ = 0;        // bytes covered by the recorded state
    std::string in_part_;         // the body's file until it is whole
    int ext_ = 0;                 // extensions both sides use in this call (EXT_*)
    int64_t probed_at_ = -1;      // when our probe went out (-1 not yet, -2 answered)
    int waiting_probe_ = 0;       // a file of ours waits for the probe's answer
    int probe_pending(int64_t now) const;
    int sending_shown_ = 0;       // the sending strip is up for our Send File
    void sending_strip(int on);
};
