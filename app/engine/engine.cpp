// The engine around the call: sockets, callers, the attempt to call out,
// the fingerprint worker and the event queue.
#include "engine.h"

#include "fingerprints.h"
#include "partial_file.h"

#include "offer_names.h"

#include "files.h"
#include "image.h"
#include "md5.h"
#include "frame.h"
#include "net.h"
#include "stream.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr std::size_t READ_PIECE = 64 * 1024;
// Reads per readiness: a peer that floods cannot keep the loop to itself.
constexpr int READS_PER_TURN = 16;
constexpr int ACCEPTS_PER_TURN = 64;
// The attempt to call out has no descriptor to wait on while its name is
// looked up, so it is stepped this often.
constexpr int64_t ATTEMPT_STEP = 10;

std::string dotted(uint32_t address)
{
    return net_address_text(address);
}

// The preview of a picture, as JPEG bytes; "" when it cannot be made. Each
// process writes its own scratch file, so two programs never share one.
std::string make_preview(const std::string& path)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/jox-preview-XXXXXX";
    int fd = mkstemp(name.data());
    if (fd < 0) return "";
    close(fd);
    std::string out;
    if (image_make_preview(path.c_str(), name.c_str(), 7, offer_preview_size)) {
        FILE* f = std::fopen(name.c_str(), "rb");
        if (f) {
            char buf[65536];
            std::size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && out.size() <= Session::PREVIEW_BYTES)
                out.append(buf, n);
            std::fclose(f);
        }
    }
    unlink(name.c_str());
    return out.size() <= Session::PREVIEW_BYTES ? out : "";
}

}  // namespace

int64_t engine_now_ms()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

Engine::Engine()
{
    if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
}

Engine::~Engine()
{
    stop_worker();
    session_.reset();
    net_stream_close(call_fd_);
    net_stream_close(listen_fd_);
    if (attempt_) net_connect_cancel(attempt_);
    for (Parting& p : parting_) net_stream_close(p.fd);
    net_stream_close(wake_[0]);
    net_stream_close(wake_[1]);
}

int Engine::start(const EngineConfig& cfg, int64_t)
{
    cfg_ = cfg;
    // Parts of cut transfers are kept for a week to go on from.
    if (!cfg.session.receive_folder.empty())
        partial_sweep(cfg.session.receive_folder, int64_t(time(nullptr)) - PART_KEEP_SECONDS);
    fingerprint_sweep(fingerprint_folder(), int64_t(time(nullptr)) - FINGERPRINT_KEEP_SECONDS);
    if (!cfg.listen) return 1;
    listen_fd_ = net_stream_listen(cfg.port);
    listen_error_ = listen_fd_ < 0 ? errno : 0;
    return listen_fd_ >= 0;
}

void Engine::set_config(const EngineConfig& cfg)
{
    // The listener stays where it is: a new port is listened on from the
    // next start, as the Options window says.
    int listen_fd = listen_fd_;
    cfg_ = cfg;
    listen_fd_ = listen_fd;
}

int Engine::listening_port() const
{
    return listen_fd_ >= 0 ? net_stream_port(listen_fd_) : 0;
}

int Engine::phase() const
{
    if (session_) return PHASE_LIVE;
    return attempt_ ? PHASE_CONNECTING : PHASE_IDLE;
}

void Engine::say(EventKind kind, int code, const std::string& text, int role)
{
    EngineEvent e;
    e.kind = kind;
    e.code = code;
    e.text = text;
    e.role = role;
    emit(std::move(e));
}

void Engine::emit(EngineEvent e)
{
    // A fingerprint the receiver did not find is not offered again.
    if (e.kind == EventKind::OfferOutcome && e.code == OUTCOME_CORRUPTED)
        fingerprint_forget(fingerprint_folder(), e.path);
    // A front end that stops reading cannot make us hold more and more.
    if (events_.size() >= EVENT_LIMIT && e.kind != EventKind::Question) return;
    events_.push_back(std::move(e));
}

int Engine::next_event(EngineEvent* e)
{
    if (events_.empty()) return 0;
    *e = std::move(events_.front());
    events_.pop_front();
    return 1;
}

// --- The host loop ---------------------------------------------------------------

void Engine::pollfds(std::vector<pollfd>* out, int64_t now) const
{
    out->clear();
    auto watch = [&](int fd, bool write) { out->push_back({fd, short(POLLIN | (write ? POLLOUT : 0)), 0}); };
    if (wake_[0] >= 0) watch(wake_[0], false);
    if (listen_fd_ >= 0) watch(listen_fd_, false);
    if (call_fd_ >= 0) watch(call_fd_, session_ && session_->wants_output(now));
    for (const Parting& p : parting_) watch(p.fd, !p.out.empty());
}

void Engine::polled(const std::vector<pollfd>& fds, std::size_t n, int64_t now)
{
    for (std::size_t i = 0; i < n && i < fds.size(); ++i) {
        short r = fds[i].revents;
        if (r) ready(fds[i].fd, (r & (POLLIN | POLLHUP | POLLERR)) != 0, (r & POLLOUT) != 0, now);
    }
    tick(now);
}

int64_t Engine::deadline(int64_t now) const
{
    int64_t d = INT64_MAX;
    if (attempt_) d = now + ATTEMPT_STEP;
    if (session_) {
        int64_t s = session_->deadline(now);
        if (s < d) d = s;
    }
    for (const Parting& p : parting_)
        if (p.until < d) d = p.until;
    return d;
}

void Engine::ready(int fd, int readable, int writable, int64_t now)
{
    if (fd < 0) return;
    if (fd == wake_[0]) {
        finish_work(now);
    } else if (fd == listen_fd_) {
        accept_callers(now);
    } else if (fd == call_fd_) {
        if (writable) write_call(now);
        if (readable && call_fd_ == fd) read_call(now);
        if (call_fd_ == fd && session_) write_call(now);
    } else {
        for (std::size_t i = 0; i < parting_.size(); ++i) {
            if (parting_[i].fd != fd) continue;
            serve_parting(parting_[i], readable, now);
            break;
        }
    }
    after_session(now);
}

void Engine::tick(int64_t now)
{
    if (attempt_) {
        int fd = -1;
        int r = net_stream_connect_poll(attempt_, &fd);
        if (r == NET_ATTEMPT_DONE) {
            attempt_ = 0;
            call_placed(fd, now);
        } else if (r == NET_ATTEMPT_FAILED) {
            attempt_ = 0;
            say(EventKind::CallState, PHASE_IDLE);
            call_failed(net_connect_failure(), now);
        }
    }
    if (session_) {
        session_->tick(now);
        if (session_->ended() == SESSION_LIVE) write_call(now);
    }
    for (std::size_t i = 0; i < parting_.size(); ++i) serve_parting(parting_[i], 0, now);
    after_session(now);
}

// --- Callers ---------------------------------------------------------------------

void Engine::accept_callers(int64_t now)
{
    for (int i = 0; i < ACCEPTS_PER_TURN; ++i) {
        uint32_t address = 0;
        int fd = net_stream_accept(listen_fd_, &address);
        if (fd < 0) return;
        if (session_ || attempt_ || shutting_) turn_away(fd, now);
        else take_call(fd, address, now);
    }
}

void Engine::take_call(int fd, uint32_t address, int64_t now)
{
    call_fd_ = fd;
    role_ = ROLE_ANSWERER;
    ++generation_;
    ++calls_;
    session_ = std::make_unique<Session>(session_config(), ROLE_ANSWERER, generation_, now, this);
    say(EventKind::Controls, CONTROLS_ANSWERED);
    say(EventKind::Alert);
    say(EventKind::Status, 0, "Connected.  You are the Server.  Connected with " + dotted(address) + ".");
    say(EventKind::Icon, 1);
    say(EventKind::Alert);
    say(EventKind::CallState, PHASE_LIVE, dotted(address), ROLE_ANSWERER);
    session_->start(now);
}

SessionConfig Engine::session_config() const
{
    SessionConfig c = cfg_.session;
    // One transfer limit for the whole program, the transport's; a body that
    // trickles slower than 1 KiB/s over that long stands as good as still.
    c.io_limit_ms = net_frame_time_limit_ms();
    if (c.slow_limit_ms == 0) c.slow_limit_ms = c.io_limit_ms;
    return c;
}

void Engine::turn_away(int fd, int64_t now)
{
    part(fd, wire_token_text(TOKEN_BUSY), now);
}

// A connection we are done with: what is left to say goes out, then our end
// mark, then whatever the peer still sends is read off until it closes, so
// closing never resets the connection over our last bytes.
void Engine::part(int fd, std::string out, int64_t now)
{
    if (parting_.size() >= HANGUP_HELD) {
        net_stream_close(parting_.front().fd);
        parting_.erase(parting_.begin());
    }
    parting_.push_back({fd, now + (out.empty() ? HANGUP_LIMIT : BYE_LIMIT + HANGUP_LIMIT), 0, std::move(out), 0});
    serve_parting(parting_.back(), 0, now);
}

void Engine::serve_parting(Parting& p, int readable, int64_t now)
{
    int gone = 0;
    while (!p.out.empty()) {
        long n = net_stream_write(p.fd, p.out.data(), p.out.size());
        if (n == NET_STREAM_LATER) break;
        if (n < 0) {
            gone = 1;
            break;
        }
        p.out.erase(0, std::size_t(n));
    }
    if (p.out.empty() && !p.shut && !gone) {
        net_stream_shutdown(p.fd);
        p.shut = 1;
    }
    if (readable || gone) {
        char buf[4096];
        for (int i = 0; i < READS_PER_TURN && !gone; ++i) {
            long n = net_stream_read(p.fd, buf, sizeof buf);
            if (n == NET_STREAM_LATER) break;
            if (n <= 0) gone = 1;
            else p.drained += n;
        }
    }
    if (gone || now >= p.until || p.drained >= HANGUP_BYTES) {
        int fd = p.fd;
        net_stream_close(fd);
        for (std::size_t i = 0; i < parting_.size(); ++i)
            if (parting_[i].fd == fd) {
                parting_.erase(parting_.begin() + long(i));
                break;
            }
    }
}

// --- The call --------------------------------------------------------------------

void Engine::read_call(int64_t now)
{
    char buf[READ_PIECE];
    for (int i = 0; i < READS_PER_TURN && session_ && session_->ended() == SESSION_LIVE; ++i) {
        long n = net_stream_read(call_fd_, buf, sizeof buf);
        if (n == NET_STREAM_LATER) return;
        if (n <= 0) {
            session_->peer_closed(now);
            return;
        }
        session_->feed(buf, std::size_t(n), now);
    }
}

void Engine::write_call(int64_t now)
{
    // Bounded: each pass writes bytes or stops; a frame is written in pieces.
    for (int i = 0; i < 64 && session_ && session_->ended() == SESSION_LIVE; ++i) {
        const char* data = nullptr;
        std::size_t n = session_->output(&data, now);
        if (n == 0) return;
        long w = net_stream_write(call_fd_, data, n);
        if (w == NET_STREAM_LATER) return;
        if (w < 0) {
            session_->peer_closed(now);
            return;
        }
        session_->wrote(std::size_t(w), now);
    }
}

void Engine::after_session(int64_t now)
{
    if (!session_ || session_->ended() == SESSION_LIVE) return;
    std::string rest;
    const char* data = nullptr;
    // Only the goodbye (or nothing) is left once a call ended.
    for (std::size_t n; rest.size() < 4096 && (n = session_->output(&data, now + Session::TOKEN_GAP)) > 0;) {
        rest.append(data, n);
        session_->wrote(n, now);
    }
    session_.reset();
    int fd = call_fd_;
    call_fd_ = -1;
    role_ = ROLE_NONE;
    ++generation_;
    if (work_ticket_) {
        work_cancel_ = 1;
        work_ticket_ = 0;
    }
    part(fd, rest, now);
    say(EventKind::CallState, PHASE_IDLE);
}

// --- Placing a call ----------------------------------------------------------------

int engine_split_address(const std::string& address, int own_port, std::string* host, int* port)
{
    std::string::size_type colon = address.rfind(':');
    *host = address;
    *port = own_port;
    if (colon == std::string::npos || address.find(':') != colon) return 0;
    std::string digits = address.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    int n = std::atoi(digits.c_str());
    if (n < 1 || n > 65535) return 0;
    *host = address.substr(0, colon);
    *port = n;
    return 1;
}

static std::string engine_lower(const std::string& text)
{
    std::string out = text;
    for (char& ch : out) {
        unsigned char u = static_cast<unsigned char>(ch);
        if ((u >= 'A' && u <= 'Z') || (u >= 192 && u <= 222)) ch = static_cast<char>(u + 32);
    }
    return out;
}

int engine_is_self(const std::string& address, const std::string& host_name)
{
    if (address.empty() || address == "127.0.0.1") return 1;
    std::string lower = engine_lower(address);
    return lower == "localhost" || lower == engine_lower(host_name);
}

void Engine::place_call(const std::string& address, int64_t now)
{
    if (session_ || attempt_ || shutting_) return;
    std::string host;
    int port = 0;
    int explicit_port = engine_split_address(address, cfg_.port, &host, &port);
    // Only a program that listens can call itself; an explicit port names
    // another instance unless it is the one we listen on.
    int self = listen_fd_ >= 0 && (!explicit_port || port == listening_port()) &&
               engine_is_self(explicit_port ? host : address, cfg_.host_name);
    if (self) {
        say(EventKind::Notice, NOTICE_SELF);
        return;
    }
    attempt_address_ = address;
    attempt_started_ = now;
    attempt_ = net_connect_start(host.c_str(), port);
    if (!attempt_) {
        call_failed(NET_FAILED_UNKNOWN, now);
        return;
    }
    say(EventKind::CallState, PHASE_CONNECTING, address);
    tick(now);
}

void Engine::call_failed(int why, int64_t now)
{
    EngineEvent e;
    e.kind = EventKind::Notice;
    e.code = NOTICE_CANT_FIND;
    e.text = attempt_address_;
    e.index = why;
    e.seconds = double(now - attempt_started_) / 1000.0;
    emit(std::move(e));
}

void Engine::cancel_call(int64_t)
{
    if (!attempt_) return;
    net_connect_cancel(attempt_);
    attempt_ = 0;
    say(EventKind::CallState, PHASE_IDLE);
}

void Engine::call_placed(int fd, int64_t now)
{
    call_fd_ = fd;
    role_ = ROLE_CALLER;
    ++generation_;
    session_ = std::make_unique<Session>(session_config(), ROLE_CALLER, generation_, now, this);
    say(EventKind::CallPlaced, 0, attempt_address_);
    say(EventKind::Status, 0, "Connected To Server " + attempt_address_ + ".");
    say(EventKind::Icon, 1);
    say(EventKind::Alert);
    say(EventKind::Controls, CONTROLS_PLACED);
    say(EventKind::CallState, PHASE_LIVE, attempt_address_, ROLE_CALLER);
    session_->start(now);
    write_call(now);
}

// --- Commands --------------------------------------------------------------------

void Engine::disconnect(int64_t now)
{
    if (session_) session_->disconnect(now);
    after_session(now);
}

void Engine::typing(int non_empty, int64_t now)
{
    if (session_) session_->typing(non_empty, now);
    if (session_) write_call(now);
}

void Engine::chat(const std::string& text, int64_t now)
{
    if (session_) {
        session_->chat(text, now);
        write_call(now);
        return;
    }
    // Between calls the line still shows in our own log.
    SessionConfig c = cfg_.session;
    Session lonely(c, ROLE_NONE, 0, now, this);
    lonely.chat(text, now);
}

void Engine::send_files(int64_t now)
{
    if (session_) session_->send_files(now);
    if (session_) write_call(now);
}

void Engine::send_paths(const std::vector<std::string>& paths, int64_t now)
{
    if (session_) session_->send_paths(paths, now);
    if (session_) write_call(now);
}

void Engine::answer(uint64_t qid, int yes, int64_t now)
{
    if (session_ && (qid >> 32) == generation_) session_->answer(qid, yes, now);
    if (session_) write_call(now);
    after_session(now);
}

void Engine::answer_files(uint64_t qid, const std::vector<std::string>& paths, int64_t now)
{
    if (session_ && (qid >> 32) == generation_) session_->answer_files(qid, paths, now);
    if (session_) write_call(now);
    after_session(now);
}

void Engine::abandon(int64_t now)
{
    if (attempt_) cancel_call(now);
    if (session_) session_->abandon(now);
    after_session(now);
}

void Engine::shutdown(int64_t now)
{
    shutting_ = 1;
    stop_worker();
    if (attempt_) cancel_call(now);
    if (session_) session_->shutdown(now);
    after_session(now);
    net_stream_close(listen_fd_);
    listen_fd_ = -1;
}

int Engine::done() const
{
    for (const Parting& p : parting_)
        if (!p.out.empty()) return 0;
    return !session_;
}

// --- The worker ----------------------------------------------------------------------

std::string Engine::fingerprint_folder() const
{
    const std::string& work = cfg_.session.working_folder;
    return work.empty() ? "" : work + "fingerprints/";
}

void Engine::stop_worker()
{
    if (!worker_.joinable()) return;
    work_cancel_ = 1;
    worker_.join();
    work_done_ = 0;
}

void Engine::prepare(int ticket, const std::string& path, int picture)
{
    stop_worker();
    work_cancel_ = 0;
    work_done_ = 0;
    work_ticket_ = ticket;
    work_generation_ = generation_;
    work_md5_.clear();
    work_preview_.clear();
    work_size_ = 0;
    std::string folder = fingerprint_folder();
    worker_ = std::thread([this, path, picture, folder] {
        int64_t size = file_size(path.c_str());
        work_size_ = size;
        if (size >= 0) {
            work_md5_ = fingerprint_file(folder, path, work_cancel_);
            if (picture && !work_md5_.empty() && !work_cancel_.load()) work_preview_ = make_preview(path);
        }
        work_done_ = 1;
        char one = 1;
        if (write(wake_[1], &one, 1) < 0) {
            // The pipe is full: a wake-up is already on its way.
        }
    });
}

void Engine::finish_work(int64_t now)
{
    char buf[64];
    while (read(wake_[0], buf, sizeof buf) > 0) {
    }
    if (!work_done_.load() || !worker_.joinable()) return;
    worker_.join();
    work_done_ = 0;
    int ticket = work_ticket_;
    work_ticket_ = 0;
    if (!ticket || !session_ || work_generation_ != generation_) return;
    session_->prepared(ticket, work_md5_, work_size_, work_preview_, now);
    write_call(now);
}
