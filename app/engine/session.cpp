// One call's state machines: the tokens of both sides, our offers (Send
// File), the peer's offer, its preview and body, the verdicts, typing and
// chat. Index: basics · ending · commands · tokens · our offers · their offer.
#include "session.h"

#include "offer_names.h"
#include "partial_file.h"

#include "date.h"
#include "files.h"
#include "user_folders.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int64_t SIZE_LIMIT = int64_t(1) << 31;
// A picture's body may be asked about for long, but not for ever.
constexpr int64_t FRAME_FIRST_LIMIT = 30000;
constexpr int64_t FRAME_FIRST_IMAGE_LIMIT = 120000;

// What this program can do beyond the original protocol, by name.
const char EXTENSIONS_OURS[] = "size64,stream";
// Files this large wait (a Timeout at most) for the probe's answer before
// they are offered: as a stream they need not be fingerprinted first.
constexpr int64_t STREAM_WAIT_SIZE = 16 << 20;
// Bodies this large are hashed on a thread of their own as they arrive.
constexpr int64_t BEHIND_SIZE = 4 << 20;

// The extensions named in a comma list that we know too.
int extension_set(const std::string& names)
{
    int set = 0;
    std::size_t at = 0;
    // Bounded by the list: each pass takes one name.
    while (at <= names.size()) {
        std::size_t comma = names.find(',', at);
        std::string name = names.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (name == "size64") set |= Session::EXT_SIZE64;
        if (name == "stream") set |= Session::EXT_STREAM;
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return set;
}

std::string extension_names(int set)
{
    std::string names = set & Session::EXT_SIZE64 ? "size64" : "";
    if (set & Session::EXT_STREAM) names += names.empty() ? "stream" : ",stream";
    return names;
}

// A decimal number that fits 63 bits, "-" first only where `sign`.
int extension_number(const std::string& text, int64_t* value, int sign = 0)
{
    std::string digits = text.substr(sign && !text.empty() && text[0] == '-' ? 1 : 0);
    if (digits.empty() || digits.size() > 19 || digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    errno = 0;
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE) return 0;
    *value = v;
    return 1;
}

// The modification time of a file, in nanoseconds: what names a version of it.
int64_t file_version(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// A file name inside an extension line: bytes that would end or blur the
// line are written %XX.
std::string extension_escape(const std::string& name)
{
    std::string out;
    char buf[4];
    for (unsigned char c : name) {
        if (c < 0x21 || c == '%' || c == 0x7f) {
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out;
}

std::string extension_unescape(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() + 0 && std::isxdigit((unsigned char)text[i + 1]) &&
            std::isxdigit((unsigned char)text[i + 2])) {
            out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

int64_t timeout_ms(int seconds)
{
    return seconds > 0 ? int64_t(seconds) * 1000 : 30000;
}

}  // namespace

// --- Basics ----------------------------------------------------------------------

Session::Session(const SessionConfig& cfg, int role, uint64_t generation, int64_t now, SessionHost* host)
    : cfg_(cfg), role_(role), generation_(generation), host_(host), now_(now), last_write_(now),
      last_unit_(now)
{
    framer_.set_limits(timeout_ms(cfg.timeout_seconds < 10 ? 10 : cfg.timeout_seconds), QUIET_LIMIT);
    out_.set_gap(TOKEN_GAP);
}

Session::~Session()
{
    receive_cut(0);
}

void Session::emit(EventKind kind, int code)
{
    EngineEvent e;
    e.kind = kind;
    e.code = code;
    host_->emit(std::move(e));
}

void Session::status(const std::string& text)
{
    EngineEvent e;
    e.kind = EventKind::Status;
    e.text = text;
    host_->emit(std::move(e));
}

// Every byte for the peer goes through here. The time our bytes may stand
// unread counts from when there are any; a full queue means the peer reads
// nothing of ours, and the call ends.
void Session::queue(OutKind kind, std::string bytes, int tag, int64_t not_before)
{
    if (end_ != SESSION_LIVE) return;
    if (out_.empty()) last_write_ = now_;
    if (!out_.push(kind, std::move(bytes), tag, not_before)) end_call(END_STALLED, "User Disconnected.", 0);
}

void Session::queue_frame(int fd, int64_t size, std::string body, int tag)
{
    if (out_.empty()) last_write_ = now_;
    out_.push_frame(fd, size, std::move(body), tag);
}

void Session::token(int t, const std::string& rest, int64_t not_before)
{
    int tag = t == TOKEN_TYPING                                ? TAG_TYPING
              : t == TOKEN_FILE_OFFER || t == TOKEN_IMAGE_OFFER ? TAG_OFFER
              : t == TOKEN_EXTENSION && rest.rfind("OFFER64", 0) == 0 ? TAG_OFFER
              : t == TOKEN_EXTENSION && rest.rfind("HELLO", 0) == 0   ? TAG_PROBE
                                                                     : 0;
    queue(OUT_TOKEN, wire_token_text(t) + rest, tag, not_before);
}

void Session::reply(int r)
{
    if (end_ != SESSION_LIVE) return;
    // A reply nobody reads yet is not repeated: a flood of notices costs one.
    if (r == REPLY_RM && out_.has_unsent_reply(wire_reply_text(r))) return;
    queue(OUT_REPLY, wire_reply_text(r));
}

void Session::ask(EngineEvent q)
{
    q.kind = EventKind::Question;
    host_->emit(std::move(q));
}

void Session::withdraw(uint64_t* qid)
{
    if (!*qid) return;
    EngineEvent e;
    e.kind = EventKind::QuestionWithdrawn;
    e.qid = *qid;
    *qid = 0;
    host_->emit(std::move(e));
}

int Session::sending_frame() const
{
    int64_t done = 0, total = 0;
    return out_.in_frame(&done, &total);
}

void Session::start(int64_t now)
{
    now_ = now;
    last_unit_ = last_sent_ = now;
    if (role_ == ROLE_CALLER) token(TOKEN_NICKNAME, cfg_.nickname);
    // Alone and paced after the nickname, before anything else of ours: a
    // peer of the original protocol matches it to nothing and ignores it.
    if (role_ == ROLE_CALLER && cfg_.extensions) token(TOKEN_EXTENSION, std::string("HELLO ext=") + EXTENSIONS_OURS + "\n");
}

int64_t Session::deadline(int64_t now) const
{
    if (end_ != SESSION_LIVE) return INT64_MAX;
    int64_t d = framer_.deadline();
    auto take = [&](int64_t t) { if (t < d) d = t; };
    take(rm_deadline_);
    take(send_deadline_);
    take(in_deadline_);
    take(discard_deadline_);
    if (!out_.empty()) {
        // Bytes that may go now wait for the socket, not for the clock.
        int64_t paced = out_.next_time(now);
        if (paced > now) take(paced);
        take(last_write_ + cfg_.io_limit_ms);
    }
    if (in_ == I_RECEIVING) take(in_last_progress_ + cfg_.io_limit_ms);
    if (send_ == S_BODY) take(progress_shown_ + PROGRESS_STEP);
    if (waiting_probe_ && probed_at_ >= 0) take(probed_at_ + timeout_ms(cfg_.timeout_seconds) + 1);
    if (idle_counts()) take(std::max(last_unit_, last_sent_) + cfg_.idle_limit_ms);
    if (cfg_.slow_limit_ms > 0 && in_ == I_RECEIVING) take(now + 1000);
    return d;
}

// Silence counts against the peer unless a body is coming in or our own
// user is being asked something.
int Session::idle_counts() const
{
    return cfg_.idle_limit_ms > 0 && in_ != I_RECEIVING && framer_.body_left() < 0 && in_qid_ == 0 &&
           send_ != S_WAIT_HASH;
}

// --- Ending ----------------------------------------------------------------------

// Every way a call ends comes here once. The goodbye goes first where the
// stream is in step in our direction; queued tokens of the call are dropped.
void Session::end_call(int reason, const std::string& text, int bye, int icon)
{
    if (end_ != SESSION_LIVE) return;
    int frame_midway = !out_.keep_for_end();
    if (bye && !frame_midway && !bye_sent_) {
        out_.push(OUT_REPLY, wire_token_text(TOKEN_BYE));
        bye_sent_ = 1;
    }
    end_ = out_.empty() ? SESSION_CLOSE_NOW : SESSION_FLUSH_THEN_CLOSE;
    // Our files not yet settled end with the call.
    if (send_ == S_SETTLE) send_ = S_NONE;
    if (verdict_file_ >= 0) close_verdict(0);
    sending_strip(0);
    if (send_ != S_NONE) {
        if (send_ == S_CHOOSING) withdraw(&choose_qid_);
        for (; file_ < paths_.size(); ++file_) file_done(OUTCOME_GONE);
        send_ = S_NONE;
    }
    withdraw(&in_qid_);
    if (in_ == I_RECEIVING && !in_abandoned_) emit(EventKind::Waiting, WAIT_KIND_RECEIVING);
    receive_cut(1);
    in_ = I_NONE;
    controls(CONTROLS_CALL_OFF);
    status(text);
    emit(EventKind::ChatGrey);
    emit(EventKind::Alert);
    if (icon) emit(EventKind::Icon, 0);
    EngineEvent e;
    e.kind = EventKind::CallEnded;
    e.code = reason;
    host_->emit(std::move(e));
}

void Session::peer_closed(int64_t now)
{
    now_ = now;
    // A peer gone while we wait on it left us; between exchanges the
    // listening side only sees its connection close.
    int waiting = typing_ == 1 || send_ != S_NONE || in_ != I_NONE;
    end_call(END_PEER_LEFT, role_ == ROLE_ANSWERER && !waiting ? "Disconnected." : "User Disconnected.", 0);
}

void Session::on_out_of_step()
{
    end_call(END_OUT_OF_STEP, "Disconnected.", 1);
}

void Session::on_unknown()
{
    // Where a preview must begin, anything else means the stream is lost.
    if (in_ == I_WAIT_PREVIEW) end_call(END_OUT_OF_STEP, "Disconnected.", 1);
}

void Session::tick(int64_t now)
{
    now_ = now;
    if (end_ != SESSION_LIVE) return;
    framer_.tick(now, *this);
    if (end_ != SESSION_LIVE) return;
    if (!out_.empty() && now - last_write_ >= cfg_.io_limit_ms) {
        end_call(END_STALLED, sending_frame() ? "Disconnected. The transfer stalled." : "User Disconnected.", 0);
        return;
    }
    if (send_ == S_BODY && now - progress_shown_ >= PROGRESS_STEP) {
        // A stalled body still shows its rate falling.
        int64_t done = 0, total = 0;
        out_.in_frame(&done, &total);
        sending_progress(done, now);
    }
    if (out_.empty()) last_write_ = now;
    if (waiting_probe_ && send_ == S_PREPARING && !probe_pending(now)) consider(now);
    if (now >= rm_deadline_) {
        rm_deadline_ = INT64_MAX;
        typing_ = 2;
        status("Connected. User did not Answer.");
    }
    if (now >= discard_deadline_) {
        end_call(END_OUT_OF_STEP, "Disconnected.", 1);
        return;
    }
    if (now >= send_deadline_) {
        send_deadline_ = INT64_MAX;
        if (send_ == S_WAIT_RF) {
            file_done(OUTCOME_NO_ANSWER);
            ++file_;
            end_call(END_NO_ANSWER, "User Disconnected.", 1, 0);
            return;
        }
        if (send_ == S_SETTLE) {
            if (verdict_file_ >= 0) close_verdict(0);
            else send_report();
        }
    }
    if (now >= in_deadline_) {
        in_deadline_ = INT64_MAX;
        if (in_ == I_WAIT_SD) {
            offer_reset();
            controls(CONTROLS_CALL_ON);
            status("Connected. File Not Accepted.");
        } else if (in_ == I_WAIT_PREVIEW) {
            end_call(END_PEER_LEFT, "User Disconnected.", 1);
            return;
        } else if (in_ == I_PREVIEW) {
            end_call(END_STALLED, "Disconnected. The transfer stalled.", 1);
            return;
        } else if (in_ == I_ACCEPTED) {
            offer_reset();
            controls(CONTROLS_CALL_ON);
            status("Connected. File Not Received.");
        } else if (in_ == I_WAIT_TRAILER) {
            // The body is kept as a part: offered again, it is checked then.
            end_call(END_STALLED, "Disconnected. The transfer stalled.", 1);
            return;
        }
    }
    if (in_ == I_RECEIVING) {
        if (now - in_last_progress_ >= cfg_.io_limit_ms) {
            end_call(END_STALLED, "Disconnected. The transfer stalled.", 1);
            return;
        }
        if (cfg_.slow_limit_ms > 0) {
            if (in_rate_.empty() || now - in_rate_.back().first >= 1000) in_rate_.push_back({now, in_got_});
            while (in_rate_.size() > 1 && now - in_rate_[1].first >= cfg_.slow_limit_ms) in_rate_.pop_front();
            const auto& old = in_rate_.front();
            int64_t span = now - old.first;
            // Under 1 KiB a second over the whole span.
            if (span >= cfg_.slow_limit_ms && (in_got_ - old.second) * 1000 < span * 1024) {
                end_call(END_STALLED, "Disconnected. The transfer stalled.", 1);
                return;
            }
        }
    }
    if (idle_counts() && now - std::max(last_unit_, last_sent_) >= cfg_.idle_limit_ms) {
        // A file of ours that waited on the silent peer got no answer.
        if (send_ >= S_WAIT_RF && send_ <= S_WAIT_SENT && file_ < paths_.size()) {
            file_done(OUTCOME_NO_ANSWER);
            ++file_;
        }
        end_call(END_STALLED, "Disconnected.", 1);
    }
}

void Session::wrote(std::size_t n, int64_t now)
{
    now_ = now;
    last_write_ = last_sent_ = now;
    int tag = out_.written(n, now);
    if (tag == TAG_OFFER && send_ == S_WAIT_RF) {
        // The reply's time counts from the moment the peer can read the offer.
        send_deadline_ = now + timeout_ms(cfg_.timeout_seconds);
        status("Sending Files...");
    } else if (tag == TAG_PREVIEW && send_ == S_PREVIEW) {
        send_ = S_WAIT_ANSWER;
    } else if (tag == TAG_PROBE) {
        probed_at_ = now;
    } else if (tag == TAG_TYPING && typing_ == 1) {
        rm_deadline_ = now + RM_LIMIT;
    }
    int64_t done = 0, total = 0;
    if (send_ == S_BODY && tag == TAG_BODY) {
        sending_progress(send_size_ - send_from_, now);
        send_ = S_WAIT_SENT;
        if (send_stream_) {
            send_ = S_WAIT_HASH;
            if (trail_ready_) trailer();
        }
    } else if (send_ == S_BODY && out_.in_frame(&done, &total) && now - progress_shown_ >= PROGRESS_STEP) {
        sending_progress(done, now);
    }
}

void Session::sending_progress(int64_t done, int64_t now)
{
    progress_shown_ = now;
    EngineEvent e;
    e.kind = EventKind::Progress;
    if (file_ < paths_.size()) e.name = offer_path_name(paths_[file_]);
    e.done = send_from_ + done;
    e.from = send_from_;
    e.total = send_size_;
    e.seconds = double(now - body_started_) / 1000.0;
    e.on = 1;
    host_->emit(std::move(e));
}

// --- Commands --------------------------------------------------------------------

void Session::disconnect(int64_t now)
{
    now_ = now;
    end_call(END_WE_HUNG_UP, "Disconnected.", 1);
}

void Session::shutdown(int64_t now)
{
    now_ = now;
    end_call(END_SHUTDOWN, "Disconnected.", 1);
}

void Session::abandon(int64_t now)
{
    now_ = now;
    if (in_ == I_RECEIVING && !in_abandoned_) {
        // The rest of the body is read off and dropped: the stream stays in
        // step and the call goes on.
        in_abandoned_ = 1;
        receive_cut(1);
        in_write_failed_ = 1;
        emit(EventKind::Waiting, WAIT_KIND_RECEIVING);
        return;
    }
    if (send_ == S_PREPARING) {
        // Nothing of it went out yet: the file is skipped.
        file_done(OUTCOME_ABANDONED);
        ++file_;
        next_file(now);
        return;
    }
    if (send_ == S_BODY || send_ == S_PREVIEW) {
        file_done(OUTCOME_ABANDONED);
        ++file_;
        end_call(END_WE_HUNG_UP, "Disconnected.", 0);
    } else if (send_ != S_NONE && send_ != S_CHOOSING) {
        file_done(OUTCOME_ABANDONED);
        ++file_;
        end_call(END_WE_HUNG_UP, "Disconnected.", 1);
    }
}

void Session::typing(int non_empty, int64_t now)
{
    now_ = now;
    if (end_ != SESSION_LIVE) return;
    if (non_empty && typing_ == 0) {
        typing_ = 1;
        token(TOKEN_TYPING);
    } else if (!non_empty && typing_ != 0) {
        typing_ = 0;
        rm_deadline_ = INT64_MAX;
        token(TOKEN_TYPING_WITHDRAWN);
    }
}

void Session::chat(const std::string& text, int64_t now)
{
    now_ = now;
    if (text.empty()) return;
    std::string signed_as = cfg_.nickname.empty() ? "Anonymous" : cfg_.nickname;
    std::string shown_as = cfg_.nickname.empty() ? "Me" : cfg_.nickname;
    EngineEvent line;
    line.kind = EventKind::ChatLine;
    if (text == "/clear") {
        emit(EventKind::ChatCleared);
        // The peer was told we type; with no line to follow it would wait on.
        if (typing_) token(TOKEN_TYPING_WITHDRAWN);
    } else if (text == "/time" || text == "/date") {
        int time = text == "/time";
        line.text = std::string(time ? "The Time is " : "The Date is ") +
                    date_format(time ? "%hh:%ii:%ss" : "%dd/%MM/%yyyy", date_now()) + ".";
        token(TOKEN_CHAT, line.text + WIRE_CHAT_END);
        host_->emit(line);
    } else {
        line.text = shown_as + ": " + text;
        host_->emit(line);
        token(TOKEN_CHAT, signed_as + ": " + text + WIRE_CHAT_END, now + CHAT_PAUSE);
    }
    typing_ = 0;
    rm_deadline_ = INT64_MAX;
}

void Session::send_files(int64_t now)
{
    now_ = now;
    if (end_ != SESSION_LIVE || send_ != S_NONE) return;
    token(TOKEN_SELECTING_FILES);
    send_ = S_CHOOSING;
    EngineEvent q;
    q.code = QUESTION_CHOOSE_FILES;
    q.qid = choose_qid_ = new_qid();
    ask(q);
}

void Session::send_paths(const std::vector<std::string>& paths, int64_t now)
{
    send_files(now);
    answer_files(choose_qid_, paths, now);
}

void Session::answer_files(uint64_t qid, const std::vector<std::string>& paths, int64_t now)
{
    now_ = now;
    if (end_ != SESSION_LIVE || send_ != S_CHOOSING || qid != choose_qid_ || !qid) return;
    choose_qid_ = 0;
    if (paths.empty()) {
        send_ = S_NONE;
        token(TOKEN_CLOSE_SEND);
        controls(CONTROLS_CALL_ON);
        return;
    }
    paths_ = paths;
    file_ = 0;
    delivered_ = 0;
    offered_ = 0;
    outcomes_.clear();
    next_file(now);
}

void Session::answer(uint64_t qid, int yes, int64_t now)
{
    now_ = now;
    if (end_ != SESSION_LIVE || !qid || qid != in_qid_) return;
    in_qid_ = 0;
    if (in_ == I_ASKING) {
        if (yes) offer_accept(now);
        else offer_decline();
    } else if (in_ == I_ASK_OPEN) {
        reply(REPLY_SENT);
        offer_reset();
        controls(CONTROLS_CALL_ON);
    }
}

// --- Tokens ----------------------------------------------------------------------

void Session::feed(const char* data, std::size_t n, int64_t now)
{
    now_ = now;
    if (end_ != SESSION_LIVE) return;
    framer_.feed(data, n, now, *this);
}

void Session::chat_in(std::string_view text)
{
    std::string line = wire_chat_line(text);
    // The receiver's verdict on our last file travels as a chat line.
    if (verdict_file_ >= 0) close_verdict(text == WIRE_CORRUPTED_NOTICE);
    emit(EventKind::Attention);
    status("Connected. Received Message from User.");
    emit(EventKind::Alert);
    EngineEvent e;
    e.kind = EventKind::ChatLine;
    e.text = line;
    e.received = 1;
    host_->emit(std::move(e));
    controls(CONTROLS_CALL_ON);
}

void Session::on_token(int t, std::string_view text)
{
    last_unit_ = now_;
    // Any unit but the notice settles the verdict on our last file.
    if (t != TOKEN_CHAT && verdict_file_ >= 0) close_verdict(0);
    switch (t) {
    case TOKEN_SELECTING_FILES:
        controls(CONTROLS_PEER_SELECTING);
        status("Connected. User is Selecting Files to Send.");
        break;
    case TOKEN_CLOSE_SEND:
        controls(CONTROLS_CALL_ON);
        status("Connected. User did not Choose anything to Send.");
        break;
    case TOKEN_NICKNAME: {
        std::string name(text.substr(13));
        if (name.empty() || role_ != ROLE_ANSWERER) break;
        EngineEvent e;
        e.kind = EventKind::PeerName;
        e.text = name;
        host_->emit(e);
        status("Connected.  You are the Server.  Connected with " + name + ".");
        controls(CONTROLS_NAMED);
        break;
    }
    case TOKEN_BYE:
        end_call(END_PEER_LEFT, "User Disconnected.", 0, 0);
        break;
    case TOKEN_BUSY:
        end_call(END_BUSY, "Disconnected. Server is Busy.", 0);
        controls(CONTROLS_BUSY_LINE);
        emit(EventKind::Notice, NOTICE_BUSY);
        break;
    case TOKEN_TYPING:
        controls(CONTROLS_PEER_TYPING);
        status("Connected. User is Typing a Message.");
        reply(REPLY_RM);
        break;
    case TOKEN_TYPING_WITHDRAWN:
        controls(CONTROLS_PEER_TYPED);
        status("Connected. User did not any Messages.");
        break;
    case TOKEN_CHAT:
        chat_in(text);
        break;
    case TOKEN_FILE_OFFER:
    case TOKEN_IMAGE_OFFER:
        offer_in(t, text, now_);
        break;
    case TOKEN_EXTENSION:
        extension_in(text, now_);
        break;
    default:
        break;
    }
}

void Session::on_reply(int r)
{
    last_unit_ = now_;
    // A reply answers what we sent: the peer has read it, so our next token
    // arrives alone without a gap. Its own tokens may have crossed ours.
    out_.peer_spoke();
    if (r != REPLY_RF && verdict_file_ >= 0) close_verdict(0);
    switch (r) {
    case REPLY_RM:
        if (typing_ == 1) {
            typing_ = 2;
            rm_deadline_ = INT64_MAX;
        }
        break;
    case REPLY_RF:
        if (verdict_file_ >= 0) close_verdict(0);
        if (send_ != S_WAIT_RF) break;
        send_deadline_ = INT64_MAX;
        if (send_preview_.empty()) {
            reply(REPLY_SD);
            send_ = S_WAIT_ANSWER;
        } else {
            int64_t size = int64_t(send_preview_.size());
            queue_frame(-1, size, std::move(send_preview_), TAG_PREVIEW);
            send_preview_.clear();
            send_ = S_PREVIEW;
        }
        break;
    case REPLY_SD:
        if (in_ != I_WAIT_SD) break;
        in_deadline_ = INT64_MAX;
        if (cfg_.auto_accept) {
            offer_accept(now_);
        } else {
            in_ = I_ASKING;
            emit(EventKind::Attention);
            EngineEvent q;
            q.code = QUESTION_ACCEPT_FILE;
            q.qid = in_qid_ = new_qid();
            q.name = in_name_;
            std::string number, unit;
            offer_format_size(in_size_, &number, &unit);
            q.size_text = number + unit;
            q.size_unit = unit;
            q.extension = offer_extension(in_name_);
            q.size = std::atoll(in_size_.c_str());
            ask(q);
        }
        break;
    case REPLY_A:
    case REPLY_NA:
        if (send_ != S_WAIT_ANSWER) break;
        if (r == REPLY_NA) {
            file_done(OUTCOME_DECLINED);
            ++file_;
            next_file(now_);
            break;
        }
        body_from(0);
        break;
    case REPLY_SENT:
        if (send_ != S_WAIT_SENT) break;
        ++delivered_;
        verdict_file_ = int(file_);
        ++file_;
        next_file(now_);
        break;
    default:
        break;
    }
}

// --- Our offers ------------------------------------------------------------------

void Session::file_done(int outcome)
{
    if (file_ >= paths_.size()) return;
    EngineEvent e;
    e.kind = EventKind::OfferOutcome;
    e.path = paths_[file_];
    e.index = int(file_);
    e.code = outcome;
    host_->emit(std::move(e));
}

void Session::close_verdict(int corrupted)
{
    if (verdict_file_ < 0) return;
    EngineEvent e;
    e.kind = EventKind::OfferOutcome;
    e.path = paths_[std::size_t(verdict_file_)];
    e.index = verdict_file_;
    e.code = corrupted ? OUTCOME_CORRUPTED : OUTCOME_DELIVERED;
    if (corrupted) --delivered_;
    verdict_file_ = -1;
    host_->emit(std::move(e));
    if (send_ == S_SETTLE) send_report();
}

void Session::sending_strip(int on)
{
    if (sending_shown_ == on) return;
    sending_shown_ = on;
    EngineEvent w;
    w.kind = EventKind::Waiting;
    w.code = WAIT_KIND_SENDING;
    w.on = on;
    host_->emit(w);
}

void Session::send_report()
{
    sending_strip(0);
    send_ = S_NONE;
    // The peer saw us choose; with no offer after it, it learns we are done.
    if (!offered_) token(TOKEN_CLOSE_SEND);
    send_deadline_ = INT64_MAX;
    if (delivered_ == 1) status("Connected. 1 file was Sent.");
    else if (delivered_ > 1) status("Connected. " + std::to_string(delivered_) + " files were Sent.");
    else status("Connected. File/s not Sent or Not Accepted.");
    emit(EventKind::Alert);
    controls(CONTROLS_CALL_ON);
    emit(EventKind::SendDone, delivered_);
}

void Session::next_file(int64_t now)
{
    if (end_ != SESSION_LIVE) return;
    if (file_ >= paths_.size()) {
        // The last verdict may trail "sent"; wait for it, not for ever.
        send_ = S_SETTLE;
        int64_t settle = cfg_.settle_ms > 0 ? cfg_.settle_ms : timeout_ms(cfg_.timeout_seconds < 2 ? 2 : cfg_.timeout_seconds);
        send_deadline_ = now + settle;
        if (verdict_file_ < 0) {
            send_report();
        } else if (cfg_.bye_when_sent && !bye_sent_) {
            // A peer that hears goodbye sends any verdict first, then closes.
            queue(OUT_REPLY, wire_token_text(TOKEN_BYE));
            bye_sent_ = 1;
        }
        return;
    }
    send_ = S_PREPARING;
    ++ticket_;
    send_prepared_ = send_stream_ = trail_ready_ = hash_started_ = 0;
    hash_ticket_ = 0;
    send_from_ = 0;
    send_md5_.clear();
    send_preview_.clear();
    consider(now);
}

// How the file at hand goes: as a stream when the call allows it, else
// fingerprinted first. While our probe may still be answered, a large file
// waits for the answer; one the call could not carry is not fingerprinted
// meanwhile, any other is.
void Session::consider(int64_t now)
{
    const std::string& path = paths_[file_];
    int64_t size = file_size(path.c_str());
    int picture = offer_is_picture(offer_path_name(path));
    int fits = size < SIZE_LIMIT || (ext_ & EXT_SIZE64);
    if (size >= 0 && !picture && fits && (ext_ & EXT_STREAM)) {
        stream_offer(now);
        return;
    }
    waiting_probe_ = size >= STREAM_WAIT_SIZE && !picture && probe_pending(now);
    if (!fits || send_prepared_) {
        if (waiting_probe_) return;
        if (!fits) {
            send_size_ = size;
            send_md5_.clear();
        }
        offer_prepared(now);
        return;
    }
    if (!hash_started_) {
        hash_started_ = 1;
        host_->prepare(ticket_, path, picture);
    }
}

void Session::prepared(int ticket, const std::string& md5, int64_t size, const std::string& preview,
                       int64_t now)
{
    now_ = now;
    if (end_ != SESSION_LIVE || ticket != ticket_) return;
    if (send_stream_ && ticket == hash_ticket_) {
        // A file that could not be read whole fails the peer's check.
        send_md5_ = md5.empty() ? "-" : md5;
        trail_ready_ = 1;
        if (send_ == S_WAIT_HASH) trailer();
        return;
    }
    if (send_ != S_PREPARING) return;
    send_prepared_ = 1;
    send_md5_ = md5;
    send_size_ = size;
    send_preview_ = preview.size() <= PREVIEW_BYTES ? preview : "";
    consider(now);
}

void Session::offer_prepared(int64_t now)
{
    std::string name = offer_path_name(paths_[file_]);
    int too_big = send_size_ >= SIZE_LIMIT && !(ext_ & EXT_SIZE64);
    if (too_big || send_md5_.empty()) {
        EngineEvent e;
        e.kind = EventKind::Notice;
        e.code = too_big ? NOTICE_TOO_BIG : NOTICE_UNREADABLE;
        e.text = name;
        host_->emit(e);
        file_done(too_big ? OUTCOME_TOO_LARGE : OUTCOME_UNREADABLE);
        ++file_;
        next_file(now);
        return;
    }
    ++offered_;
    int64_t size = send_size_;
    const std::string& md5 = send_md5_;
    if (size >= SIZE_LIMIT)
        token(TOKEN_EXTENSION, "OFFER64 size=" + std::to_string(size) + " md5=" + md5 + " name=" +
                                   extension_escape(name) + "\n");
    else if (send_preview_.empty())
        token(TOKEN_FILE_OFFER, name + "SIZEJOXsizejox" + std::to_string(int32_t(size)) + "MD5JOX" + md5);
    else
        token(TOKEN_IMAGE_OFFER, name + "MD5JOX" + md5);
    // Tagged so the reply's limit starts once the offer is out.
    send_ = S_WAIT_RF;
    sending_strip(1);
}

// The offer goes at once; the fingerprint, worked out meanwhile (or already
// under way), follows the body.
void Session::stream_offer(int64_t now)
{
    now_ = now;
    const std::string& path = paths_[file_];
    send_size_ = file_size(path.c_str());
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) close(fd);
    if (fd < 0 || (send_prepared_ && send_md5_.empty())) {
        send_md5_.clear();
        offer_prepared(now);  // unreadable: said so, never offered
        return;
    }
    send_stream_ = 1;
    hash_ticket_ = ticket_;
    trail_ready_ = send_prepared_;
    if (!hash_started_) {
        hash_started_ = 1;
        host_->prepare(ticket_, path, 0);
    }
    ++offered_;
    token(TOKEN_EXTENSION, "FILE size=" + std::to_string(send_size_) + " time=" + std::to_string(file_version(path)) +
                               " name=" + extension_escape(offer_path_name(path)) + "\n");
    send_ = S_WAIT_RF;
    sending_strip(1);
}

void Session::body_from(int64_t from)
{
    int fd = open(paths_[file_].c_str(), O_RDONLY | O_CLOEXEC);
    // Unreadable now: the announced size still goes, as zeros, so the
    // stream stays in step and the peer's check refuses the file.
    if (fd >= 0 && from > 0 && lseek(fd, from, SEEK_SET) != from) {
        close(fd);
        fd = -1;
    }
    queue_frame(fd, send_size_ - from, "", TAG_BODY);
    send_from_ = from;
    send_ = S_BODY;
    body_started_ = now_;
    progress_shown_ = 0;
    if (from > 0) {
        EngineEvent e;
        e.kind = EventKind::Resuming;
        e.on = 1;
        e.from = from;
        e.total = send_size_;
        host_->emit(e);
    }
}

void Session::trailer()
{
    token(TOKEN_EXTENSION, "MD5 " + send_md5_ + "\n");
    send_ = S_WAIT_SENT;
}

// --- Their offer -----------------------------------------------------------------

void Session::offer_reset()
{
    receive_cut(1);
    withdraw(&in_qid_);
    in_ = I_NONE;
    in_deadline_ = INT64_MAX;
    in_preview_.clear();
}

void Session::offer_in(int t, std::string_view text, int64_t now)
{
    // A new offer replaces one whose answer or frame never came.
    if (in_ == I_RECEIVING || in_ == I_WAIT_TRAILER) return;
    offer_reset();
    OfferFields f = t == TOKEN_FILE_OFFER ? offer_parse_file(std::string(text))
                                          : offer_parse_image(std::string(text));
    take_offer(t == TOKEN_IMAGE_OFFER, f.name, f.size, f.md5, now);
}

void Session::take_offer(int image, const std::string& name, const std::string& size, const std::string& md5,
                         int64_t now, int stream)
{
    in_image_ = image;
    in_stream_ = stream;
    in_name_ = offer_safe_name(name);
    // The names of parts are ours alone.
    if (partial_reserved_name(in_name_)) in_name_ += "_";
    in_md5_ = md5;
    in_size_ = size;
    reply(REPLY_RF);
    if (in_image_) {
        controls(CONTROLS_TRANSFER);
        status("Receiving File...");
        in_ = I_WAIT_PREVIEW;
        in_deadline_ = now + PREVIEW_LIMIT;
    } else {
        in_ = I_WAIT_SD;
        in_deadline_ = now + timeout_ms(cfg_.timeout_seconds);
    }
}

// "JXC1 VERB key=value ...\n": the probe, its answer, and a file offer of
// any size. Anything else, or an extension not agreed on, is ignored as the
// original dispatcher ignores what it does not know.
void Session::extension_in(std::string_view text, int64_t now)
{
    if (!cfg_.extensions) return;
    std::string line(text.substr(5));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    std::string verb = line.substr(0, line.find(' '));
    auto value = [&](const char* key) {
        std::string k = std::string(" ") + key + "=";
        std::size_t at = line.find(k);
        if (at == std::string::npos) return std::string();
        at += k.size();
        // The name runs to the end of the line; the others to the next blank.
        std::size_t end = std::string(key) == "name" ? line.size() : line.find(' ', at);
        return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
    };
    int64_t number = 0, time = 0;
    int busy = in_ == I_RECEIVING || in_ == I_WAIT_TRAILER;
    if (verb == "HELLO" && role_ == ROLE_ANSWERER) {
        ext_ = extension_set(value("ext"));
        queue(OUT_REPLY, std::string(wire_token_text(TOKEN_EXTENSION)) + "OK ext=" + extension_names(ext_) + "\n");
        // A jox program splits tokens that arrive together.
        if (ext_) out_.set_gap(0);
    } else if (verb == "OK" && role_ == ROLE_CALLER && probe_pending(now)) {
        ext_ = extension_set(value("ext"));
        probed_at_ = -2;
        if (ext_) out_.set_gap(0);
        if (send_ == S_PREPARING) consider(now);
    } else if (verb == "OFFER64" && (ext_ & EXT_SIZE64) && !busy) {
        if (!extension_number(value("size"), &number)) return;
        offer_reset();
        take_offer(0, extension_unescape(value("name")), value("size"), value("md5"), now);
    } else if (verb == "FILE" && (ext_ & EXT_STREAM) && !busy) {
        if (!extension_number(value("size"), &number) || !extension_number(value("time"), &time, 1)) return;
        offer_reset();
        in_mtime_ = time;
        take_offer(0, extension_unescape(value("name")), value("size"), "", now, 1);
    } else if (verb == "ACCEPT" && send_ == S_WAIT_ANSWER && send_stream_) {
        // An offset beyond the file is no answer a jox program gives.
        if (!extension_number(value("from"), &number) || number > send_size_) {
            end_call(END_OUT_OF_STEP, "Disconnected.", 1);
            return;
        }
        body_from(number);
    } else if (verb == "MD5" && in_ == I_WAIT_TRAILER) {
        in_md5_ = line.size() > 4 ? line.substr(4) : "";
        in_deadline_ = INT64_MAX;
        receive_verdict(now);
    }
}

// Our probe is out, or about to go, and its answer may still come in time.
int Session::probe_pending(int64_t now) const
{
    if (!cfg_.extensions || role_ != ROLE_CALLER || probed_at_ == -2) return 0;
    return probed_at_ < 0 || now - probed_at_ <= timeout_ms(cfg_.timeout_seconds);
}

void Session::offer_accept(int64_t now)
{
    if (!make_folders(cfg_.receive_folder)) {
        EngineEvent e;
        e.kind = EventKind::Notice;
        e.code = NOTICE_FOLDER;
        e.text = cfg_.receive_folder;
        host_->emit(e);
        offer_decline();
        return;
    }
    int64_t size = std::atoll(in_size_.c_str());
    if (in_stream_) {
        // The answer names what we hold of this very file already.
        PartialState st;
        in_fd_ = partial_open(cfg_.receive_folder, in_name_, size, in_mtime_, &st);
        in_part_ = partial_path(cfg_.receive_folder, in_name_);
        in_write_failed_ = in_fd_ < 0;
        in_from_ = in_got_ = in_saved_ = st.offset;
        in_hash_ = st.hash;
        in_total_ = size;
        queue(OUT_REPLY, std::string(wire_token_text(TOKEN_EXTENSION)) + "ACCEPT from=" +
                             std::to_string(in_from_) + "\n");
        if (in_from_ > 0) {
            EngineEvent e;
            e.kind = EventKind::Resuming;
            e.from = in_from_;
            e.total = size;
            host_->emit(e);
        }
    } else {
        reply(REPLY_A);
    }
    in_ = I_ACCEPTED;
    in_deadline_ = now + (in_image_ ? FRAME_FIRST_IMAGE_LIMIT : FRAME_FIRST_LIMIT + size / 10000);
}

void Session::offer_decline()
{
    reply(REPLY_NA);
    offer_reset();
    controls(CONTROLS_DECLINED);
    status("Connected. File Not Accepted.");
}

void Session::on_frame_start(int64_t size)
{
    last_unit_ = now_;
    if (in_ == I_WAIT_PREVIEW) {
        in_ = I_PREVIEW;
        in_deadline_ = now_ + cfg_.io_limit_ms;
        in_total_ = size;
        return;
    }
    if (in_ != I_ACCEPTED) {
        // Nobody asked for this frame: read off, never stored, within a limit.
        in_ = in_ == I_NONE ? I_DISCARD : in_;
        discard_deadline_ = now_ + cfg_.io_limit_ms;
        in_total_ = -1;
        return;
    }
    // A receipt consumes the acceptance.
    in_deadline_ = INT64_MAX;
    in_rate_.clear();
    in_abandoned_ = 0;
    in_last_progress_ = in_started_ = now_;
    if (in_stream_) {
        // The part was opened with our answer; the body is the rest of it.
        if (size != in_total_ - in_from_) {
            end_call(END_OUT_OF_STEP, "Disconnected.", 1);
            return;
        }
    } else {
        // Under its own name only once it is whole.
        PartialState fresh;
        in_total_ = size;
        in_got_ = in_from_ = in_saved_ = 0;
        md5_init(&in_hash_);
        in_fd_ = partial_open(cfg_.receive_folder, in_name_, size, -1, &fresh);
        in_part_ = partial_path(cfg_.receive_folder, in_name_);
        in_write_failed_ = in_fd_ < 0;
    }
    // A large body is hashed on another core while this one stores it.
    in_behind_.reset();
    if (size >= BEHIND_SIZE) in_behind_ = std::make_unique<Md5Behind>(in_hash_);
    controls(CONTROLS_TRANSFER);
    status("Receiving File...");
    in_ = I_RECEIVING;
    EngineEvent w;
    w.kind = EventKind::Waiting;
    w.code = WAIT_KIND_RECEIVING;
    w.on = 1;
    host_->emit(w);
}

void Session::on_frame_body(const char* data, std::size_t n)
{
    if (in_ == I_PREVIEW) {
        if (in_preview_.size() + n <= PREVIEW_BYTES) in_preview_.append(data, n);
        return;
    }
    if (in_ != I_RECEIVING) return;
    if (in_abandoned_) {
        // Read off and dropped.
    } else if (in_behind_) {
        in_behind_->feed(data, n);
    } else {
        md5_update(&in_hash_, data, n);
    }
    int64_t before = in_got_;
    in_got_ += int64_t(n);
    in_last_progress_ = now_;
    if (in_fd_ >= 0 && !in_write_failed_) {
        std::size_t done = 0;
        // Bounded by the piece: each write takes bytes or fails.
        while (done < n) {
            ssize_t w = write(in_fd_, data + done, n - done);
            if (w <= 0) {
                in_write_failed_ = 1;
                break;
            }
            done += std::size_t(w);
        }
    }
    if (in_stream_ && !in_write_failed_ && in_got_ - in_saved_ >= CHECKPOINT_BYTES) checkpoint();
    if (now_ - progress_shown_ >= PROGRESS_STEP || before == in_from_) {
        progress_shown_ = now_;
        EngineEvent e;
        e.kind = EventKind::Progress;
        e.name = in_name_;
        e.done = in_got_;
        e.from = in_from_;
        e.total = in_total_;
        e.seconds = double(now_ - in_started_) / 1000.0;
        host_->emit(std::move(e));
    }
}

void Session::on_frame_end()
{
    last_unit_ = now_;
    if (in_ == I_DISCARD || (in_total_ < 0 && in_ != I_RECEIVING && in_ != I_PREVIEW)) {
        discard_deadline_ = INT64_MAX;
        if (in_ == I_DISCARD) in_ = I_NONE;
        return;
    }
    discard_deadline_ = INT64_MAX;
    if (in_ == I_PREVIEW) {
        in_deadline_ = INT64_MAX;
        if (cfg_.auto_accept) {
            in_preview_.clear();
            offer_accept(now_);
            return;
        }
        in_ = I_ASKING;
        emit(EventKind::Attention);
        EngineEvent q;
        q.code = QUESTION_ACCEPT_IMAGE;
        q.qid = in_qid_ = new_qid();
        q.name = in_name_;
        q.preview = std::move(in_preview_);
        in_preview_.clear();
        ask(std::move(q));
        return;
    }
    if (in_ == I_RECEIVING) receive_end(now_);
}

void Session::receive_end(int64_t now)
{
    if (in_abandoned_) {
        in_abandoned_ = 0;
        // The sender hears that the file did not arrive intact.
        queue(OUT_REPLY, std::string("sent") + WIRE_CORRUPTED_NOTICE);
        offer_reset();
        controls(CONTROLS_CALL_ON);
        status("Connected. File Not Accepted.");
        return;
    }
    EngineEvent progress;
    progress.kind = EventKind::Progress;
    progress.name = in_name_;
    progress.done = progress.total = in_total_;
    progress.from = in_from_;
    progress.seconds = double(now - in_started_) / 1000.0;
    host_->emit(progress);
    emit(EventKind::Waiting, WAIT_KIND_RECEIVING);
    if (in_stream_) {
        // The fingerprint follows the body; until it comes the part stands
        // as it is, whole, to be checked if the call is cut meanwhile.
        if (!in_write_failed_) checkpoint();
        in_ = I_WAIT_TRAILER;
        in_deadline_ = now + std::max(cfg_.io_limit_ms, timeout_ms(cfg_.timeout_seconds)) + in_total_ / 20000;
        return;
    }
    receive_verdict(now);
}

void Session::receive_verdict(int64_t now)
{
    now_ = now;
    int stored = !in_write_failed_ && in_fd_ >= 0;
    if (in_fd_ >= 0 && close(in_fd_) != 0) stored = 0;
    in_fd_ = -1;
    hash_settle();
    in_behind_.reset();
    std::string md5 = md5_final(&in_hash_);
    std::string part = in_part_;
    in_part_.clear();
    in_path_.clear();
    if (stored) {
        // The program's own files are never a stranger's to replace or add,
        // whatever folder the settings name for received files.
        static const std::vector<std::string> own = {"jox.cfg", "alert1.wav", "JOXTemp.jpg", "help.exe",
                                                     "fingerprints"};
        int own_folder = !cfg_.working_folder.empty() && cfg_.working_folder == cfg_.receive_folder;
        int target = offer_create_target(cfg_.receive_folder, in_name_, &in_path_, own_folder ? &own : nullptr);
        // The part replaces the empty file that holds its name.
        stored = target >= 0 && rename(part.c_str(), in_path_.c_str()) == 0;
        if (target >= 0) close(target);
        if (target >= 0 && !stored) unlink(in_path_.c_str());
    }
    partial_remove(cfg_.receive_folder, in_name_);
    if (!stored) {
        // What could not be written whole is nobody's file.
        EngineEvent e;
        e.kind = EventKind::Notice;
        e.code = NOTICE_STORE;
        e.text = cfg_.receive_folder;
        host_->emit(e);
        status("Connected. The File could not be Stored in " + cfg_.receive_folder);
        EngineEvent s;
        s.kind = EventKind::Stored;
        s.path = in_path_;
        s.size = in_got_;
        s.md5 = md5;
        s.good = 0;
        host_->emit(s);
        verdict(0);
        return;
    }
    status("Connected. File/s Received.");
    emit(EventKind::Alert);
    int good = md5 == in_md5_;
    EngineEvent s;
    s.kind = EventKind::Stored;
    s.path = in_path_;
    s.size = in_got_;
    s.md5 = md5;
    s.good = good;
    host_->emit(s);
    verdict(good);
}

void Session::hash_settle()
{
    if (in_behind_) in_hash_ = in_behind_->state();
}

void Session::checkpoint()
{
    hash_settle();
    PartialState st;
    st.size = in_total_;
    st.mtime = in_mtime_;
    st.offset = in_got_;
    st.hash = in_hash_;
    if (partial_save(cfg_.receive_folder, in_name_, st)) in_saved_ = in_got_;
}

void Session::receive_cut(int tell)
{
    if (in_fd_ >= 0) close(in_fd_);
    in_fd_ = -1;
    if (in_part_.empty()) return;
    std::string part = in_part_;
    in_part_.clear();
    // The bytes written stand; the state says how far they are good.
    if (in_stream_ && !in_write_failed_ && in_ >= I_ACCEPTED && in_ <= I_WAIT_TRAILER) checkpoint();
    if (!in_stream_ || in_saved_ <= 0) {
        partial_remove(cfg_.receive_folder, in_name_);
        return;
    }
    if (!tell) return;
    EngineEvent e;
    e.kind = EventKind::Notice;
    e.code = NOTICE_PART_KEPT;
    e.text = part;
    host_->emit(e);
}

void Session::verdict(int good)
{
    if (good && cfg_.open_file) {
        in_ = I_ASK_OPEN;
        EngineEvent q;
        q.code = QUESTION_OPEN_FILE;
        q.qid = in_qid_ = new_qid();
        q.path = in_path_;
        q.name = offer_path_name(in_path_);
        ask(q);
        return;
    }
    if (good) {
        reply(REPLY_SENT);
    } else {
        // "sent" and the notice in one send: a sender that waits for the
        // verdict does not wait on our scheduling between two sends.
        queue(OUT_REPLY, std::string("sent") + WIRE_CORRUPTED_NOTICE);
        emit(EventKind::Notice, NOTICE_CORRUPTED);
    }
    offer_reset();
    controls(CONTROLS_CALL_ON);
}
