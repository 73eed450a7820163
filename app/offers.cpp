// The file offer: the sending side's Send File operation (offer, "RF", "SD",
// answer, frame, "sent" for each chosen file) and the receiving side's offer
// handler and file-frame receipt with its MD5 check.
//
// Index: helpers | sending side | receiving side
//
// The receiver hashes the body while it stores it (on a helper thread, beside
// the receiving loop), so the check costs no second pass over the file. Offered names are made safe before anything
// else sees them, and a frame nobody accepted is read off and dropped.
#include "offers.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "calls.h"
#include "digest_prefetch.h"
#include "files.h"
#include "front.h"
#include "frame.h"
#include "handlers.h"
#include "launch.h"
#include "opening.h"
#include "layouts.h"
#include "md5.h"
#include "piece_hasher.h"
#include "net.h"
#include "offer_names.h"
#include "offer_steps.h"
#include "progress.h"
#include "state.h"
#include "toolkit.h"
#include "waits.h"

// --- Helpers ------------------------------------------------------------------
namespace {

const char OFFER_CORRUPTED_NOTICE[] =
    "mMeSSageJOXFile Sent is Corrupted.  Re-Send it Again.EeNdofMessageJOX";
// How long the rest of a long offer may take to follow its first part.
constexpr int OFFER_REST_WAIT_MS = 500;
// The renaming rule tries this many copy numbers at most.
constexpr int OFFER_COPY_LIMIT = 100000;
// A target taken between picking its name and creating it is picked again
// this many times at most.
constexpr int OFFER_CREATE_TRIES = 8;
// The receiving side waits this long for "SD" when no Timeout is set: the
// peer's program sends it at once.
constexpr int OFFER_SD_WAIT_SECONDS = 30;
// How long the rest of a two-byte reply may take to follow its first byte.
constexpr int OFFER_REPLY_REST_MS = 500;
// The peer reads one token per receive: the selecting notice must arrive
// before the offer or the cancel notice that follows it, or the two would be
// read as one and the second lost. A person choosing files always takes this
// long; a requester answered at once (a script, a test) waits out the rest.
constexpr int OFFER_TOKEN_GAP_MS = 250;

int offer_ended = 0;  // a wait of this Send File operation ended the call

void offer_end_call(int result)
{
    offer_ended = 1;
    wait_end_call(result);
}

// Forgets the call's connection after a frame was cut off midway: what the
// peer already has of it would swallow any later token as body bytes.
void offer_drop_connection()
{
    NetConnection* c = app.peer_connection;
    app.peer_connection = nullptr;
    if (app.server_side)
        net_hangup(c);
    else
        net_close(c);
}

} // namespace

// The call ends as an abandoned one does. A receiver still says goodbye (its
// own direction is in step); a sender must not, or the goodbye would land
// inside the frame. A stall says so, so the user knows why.
void offer_end_out_of_step(int frame_end, int receiving)
{
    if (receiving) {
        offer_end_call(WAIT_ABANDONED);
        offer_drop_connection();
    } else {
        offer_drop_connection();
        offer_end_call(WAIT_ABANDONED);
    }
    if (frame_end == NET_FRAME_STALLED)
        status("Disconnected. The transfer stalled.");
}

namespace {

// Makes the received-files folder with every missing level. 1 when it is
// there afterwards.
int offer_make_folder(const std::string& folder)
{
    // Bounded by the path's length: one mkdir per separator.
    for (std::size_t at = 1; at <= folder.size(); ++at) {
        if (at < folder.size() && folder[at] != '/')
            continue;
        std::string level = folder.substr(0, at);
        if (mkdir(level.c_str(), 0755) != 0 && errno != EEXIST)
            break;
    }
    return file_size(folder.c_str()) == -2;
}

// Takes the two-byte reply `want` when it is what waits on the line; 0
// (leaving the bytes for the main loop) when something else came first.
int offer_take_reply(const char* want)
{
    int fd = net_connection_fd(app.peer_connection);
    char head[2];
    // Bounded by the poll steps: the reply's second byte follows at once.
    for (int i = 0; fd >= 0 && i < OFFER_REPLY_REST_MS / 2; ++i) {
        ssize_t n = recv(fd, head, 2, MSG_PEEK | MSG_DONTWAIT);
        if (n <= 0 || head[0] != want[0])
            return 0;
        if (n == 2) {
            if (head[1] != want[1])
                return 0;
            receive_text(2);
            return 1;
        }
        struct pollfd p = {fd, POLLIN, 0};
        poll(&p, 1, 2);
    }
    return 0;
}

// The receiving side's offer ends without an answer: controls back.
void offer_dropped()
{
    call_controls_on();
    status("Connected. File Not Accepted.");
}

// 1 when something (file, folder, even a dangling link) has this path.
int offer_name_taken(const std::string& path)
{
    struct stat st;
    return file_size(path.c_str()) != -1 || lstat(path.c_str(), &st) == 0;
}

int offer_rf_timed_out()
{
    return app.timeout_seconds > 0 && app.waited == app.timeout_seconds;
}

// Sends the chosen file as one frame inside a sending wait. 1 when sent.
int offer_send_body()
{
    wait_window_open(WAIT_SENDING);
    ProgressRun run;
    progress_begin(&run, wait_window_number(WAIT_SENDING), nullptr);
    net_send_file(app.peer_connection, app.send_path.c_str(), &run.hooks);
    int end = net_frame_end();
    wait_window_close(WAIT_SENDING);
    // A file that shrank was padded to its announced size: the peer's check
    // finds it, and the stream is still in step.
    if (end == NET_FRAME_DONE || end == NET_FRAME_FILE_ERROR)
        return 1;
    if (end == NET_FRAME_UNTOUCHED)
        return 0;
    if (end != NET_FRAME_ABANDONED && end != NET_FRAME_STALLED && wait_peer_closed())
        offer_end_call(WAIT_GONE);
    else
        offer_end_out_of_step(end, 0);
    return 0;
}

void offer_report()
{
    if (app.files_sent == 1) {
        status("Connected. 1 file was Sent.");
    } else if (app.files_sent > 1) {
        status("Connected. " + std::to_string(app.files_sent) + " files were Sent.");
    } else {
        status("Connected. File/s not Sent or Not Accepted.");
        if (offer_rf_timed_out()) {
            status("User Disconnected.");
            grey_chat_log();
            app.idle = 1;
        }
    }
    alert();
}

// "sent" and the notice go in one send: a sender reading "sent" by its four
// bytes leaves the notice for its main loop either way, and one that waits
// for the verdict does not wait on our scheduling between two sends.
void offer_send_corrupted_verdict()
{
    wait_send((std::string("sent") + OFFER_CORRUPTED_NOTICE).c_str());
}

// The verdict on the file just sent, when it came right behind "sent": with
// another file to offer it is taken now, or the wait for that file's "RF"
// would take it for the reply and end the call. Shown as the main loop shows
// a chat line, the controls left as the sending loop keeps them.
void offer_take_verdict()
{
    const std::size_t n = sizeof OFFER_CORRUPTED_NOTICE - 1;
    int fd = net_connection_fd(app.peer_connection);
    char head[sizeof OFFER_CORRUPTED_NOTICE];
    if (!app.pending_input.empty() || fd < 0 || recv(fd, head, n, MSG_PEEK | MSG_DONTWAIT) != ssize_t(n) ||
        std::memcmp(head, OFFER_CORRUPTED_NOTICE, n) != 0)
        return;
    std::string line = chat_line_of(receive_text(int(n)));
    append_chat_line(line, 1);
    alert();
    if (front_end && front_end->chat)
        front_end->chat(line);
}

} // namespace

int offer_call_ended()
{
    return offer_ended;
}

void format_size()
{
    offer_format_size(app.offered_size, &app.size_number, &app.size_unit);
}

int pick_target_name()
{
    app.target_name = app.offered_name;
    app.copy_number = 0;
    while (offer_name_taken(app.receive_folder + app.target_name)) {
        if (++app.copy_number > OFFER_COPY_LIMIT) {
            app.target_name.clear();
            return 0;
        }
        app.target_name = offer_copy_name(app.offered_name, app.copy_number);
    }
    return 1;
}

// --- Sending side -------------------------------------------------------------

void send_files()
{
    app.poll_client = 0;
    app.files_sent = 0;
    offer_ended = 0;
    wait_send("SendingSeindingJOXFile");
    auto selecting = std::chrono::steady_clock::now();
    app.send_path = open_files_requester("Select a file/s to send it/them", "",
                                         "All files (*.*)|*.*", 0, 2);
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - selecting).count();
    if (spent < OFFER_TOKEN_GAP_MS)
        delay_ms(int(OFFER_TOKEN_GAP_MS - spent));
    if (app.send_path.empty()) {
        wait_send("CloseSendJOXFile");
    } else {
        // Bounded by the requester's selection.
        while (!app.send_path.empty()) {
            // Every step that knows better says how the file ended.
            app.offer_outcome = OFFER_OUTCOME_GONE;
            if (!offer_ended) {
                app.send_name = offer_path_name(app.send_path);
                if (offer_is_picture(app.send_name))
                    offer_image();
                else
                    offer_file();
            }
            front_offered(app.send_path, app.offer_outcome);
            app.send_path = next_selected_file();
            if (!app.send_path.empty() && !offer_ended)
                offer_take_verdict();
        }
        if (!offer_ended)
            offer_report();
    }
    app.poll_client = 1;
    // Whatever the peer sent meanwhile (a chat line, the corrupted-file
    // notice, its goodbye) is left for the main loop to read and act on.
    if (!offer_ended && app.idle == 0)
        call_controls_on();
}

int offer_prepare(long long* size, std::string* md5)
{
    *size = file_size(app.send_path.c_str());
    if (*size >= OFFER_SIZE_LIMIT) {
        std::string text = "File Too Big to Send: \r  " + app.send_name +
                           "\r  Files of 2 GB or more can't be sent.";
        app.offer_outcome = OFFER_OUTCOME_TOO_LARGE;
        message_box(app.version_title.c_str(), text.c_str(), MB_OK);
        return 0;
    }
    *md5 = *size >= 0 ? digest_of(app.send_path) : "";
    if (md5->empty()) {
        std::string text = "Can't Read File: \r  " + app.send_name;
        app.offer_outcome = OFFER_OUTCOME_UNREADABLE;
        message_box(app.version_title.c_str(), text.c_str(), MB_OK);
        return 0;
    }
    return 1;
}

void offer_file()
{
    long long size = 0;
    std::string md5;
    if (offer_prepare(&size, &md5))
        offer_file_prepared(size, md5);
}

void offer_file_prepared(long long size, const std::string& md5)
{
    std::string offer = "NAMEJOX" + app.send_name + "SIZEJOXsizejox" +
                        std::to_string(static_cast<int32_t>(size)) + "MD5JOX" + md5;
    if (wait_send(offer.c_str()) <= 0)
        return;
    status("Sending Files...");
    if (!wait_for_rf())
        return;
    wait_send("SD");
    offer_answer_and_send();
}

int wait_for_rf()
{
    app.offer_failed = 0;
    app.waited = 0;
    int result = wait_for_peer(WAIT_SENDING, NET_DATA, app.timeout_seconds, &app.waited);
    if (result == WAIT_OK) {
        app.receive_buffer = receive_text(25);
        if (app.receive_buffer == "RF")
            return 1;
    }
    app.offer_failed = 1;
    // A late "RF" would be read as the next offer's reply, so the call ends
    // here with this Send File operation, and its connection with it.
    if (result == WAIT_OK || result == WAIT_TIMEOUT) {
        app.offer_outcome = OFFER_OUTCOME_NO_ANSWER;
        offer_drop_connection();
        // One alert for this report, and the status icon stays as it was.
        offer_ended = 1;
        peer_gone(0);
    } else {
        offer_end_call(result);
    }
    return 0;
}

void offer_answer_and_send()
{
    // The answer is a person's: no time limit.
    int result = wait_for_peer(WAIT_SENDING, NET_DATA, 0, nullptr);
    if (result != WAIT_OK) {
        offer_end_call(result);
        return;
    }
    if (receive_text(2) != "a") {
        app.offer_outcome = OFFER_OUTCOME_DECLINED;
        return;
    }
    if (!offer_send_body())
        return;
    app.files_sent += 1;
    // The peer may ask its user whether to open the file before "sent".
    result = wait_for_peer(WAIT_SENDING, NET_DATA, 0, nullptr);
    if (result != WAIT_OK) {
        offer_end_call(result);
        return;
    }
    // "sent"; a corrupted-file notice after it stays for the main loop.
    if (receive_text(4) == "sent")
        app.offer_outcome = OFFER_OUTCOME_DELIVERED;
}

// --- Receiving side -------------------------------------------------------------

void offer_read_rest(std::string* text)
{
    int fd = net_connection_fd(app.peer_connection);
    // Bounded by time and by the bytes the offer can still hold; the sending
    // side sends nothing after an offer until "RF", so nothing else is taken.
    for (int i = 0; fd >= 0 && i < OFFER_REST_WAIT_MS / 2; ++i) {
        int missing = offer_missing_bytes(*text);
        if (missing == 0)
            break;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 2) <= 0)
            continue;
        std::string more = receive_text(missing);
        if (more.empty())
            break;
        *text += more;
    }
}

OfferFields offer_take(const std::string& text, OfferFields (*parse)(const std::string&))
{
    std::string offer = text;
    offer_read_rest(&offer);
    OfferFields f = parse(offer);
    app.offered_name = offer_safe_name(f.name);
    app.offered_md5 = f.md5;
    // A new offer replaces any acceptance whose frame never came.
    app.file_accepted = 0;
    return f;
}

void on_file_offer(const std::string& text)
{
    OfferFields f = offer_take(text, offer_parse_file);
    app.offered_size = f.size;
    app.offered_extension = offer_extension(app.offered_name);
    format_size();
    offer_accept_file();
}

void offer_accept_file()
{
    wait_send("RF");
    int ask = app.auto_accept != "Yes";
    int limit = app.timeout_seconds > 0 ? app.timeout_seconds : OFFER_SD_WAIT_SECONDS;
    int result = wait_for_peer(ask ? WAIT_ASKING : WAIT_RECEIVING, NET_DATA, limit, nullptr);
    if (result == WAIT_GONE || result == WAIT_ABANDONED) {
        wait_end_call(result);
        return;
    }
    // A silent sender, or anything but "SD", ends this offer; what came
    // instead stays for the main loop.
    if (result != WAIT_OK || !offer_take_reply("SD")) {
        offer_dropped();
        return;
    }
    if (!ask) {
        offer_accept();
        return;
    }
    window_set_state(WINDOW_MAIN, STATE_RESTORE);
    window_set_topmost(WINDOW_MAIN, 1);
    window_set_topmost(WINDOW_MAIN, 0);
    std::string question = offer_accept_text(app.offered_name, app.size_number,
                                             app.size_unit, app.offered_extension);
    int call = app.call_number;
    app.answer = message_box(app.version_title.c_str(), question.c_str(), MB_YESNO);
    // The answer belongs to the call that asked; a later one gets nothing.
    if (call != app.call_number)
        return;
    if (app.answer == IDYES)
        offer_accept();
    else
        offer_decline();
}

void offer_accept()
{
    if (!offer_make_folder(app.receive_folder)) {
        int call = app.call_number;
        std::string text = "Can't Create the Folder for Received Files: \r  " + app.receive_folder;
        message_box(app.version_title.c_str(), text.c_str(), MB_OK);
        if (call == app.call_number)
            offer_decline();
        return;
    }
    wait_send("a");
    pick_target_name();
    app.file_accepted = 1;
}

void offer_decline()
{
    wait_send("na");
    app.file_accepted = 0;
    control_disable(6, 0);
    control_disable(14, 0);
    control_disable(13, 0);
    control_disable(9, 0);
    status("Connected. File Not Accepted.");
    control_disable(7, 0);
}

void offers_forget_call()
{
    app.call_number += 1;
    app.file_accepted = 0;
    app.target_name.clear();
    app.offered_md5.clear();
    if (window_handle(WINDOW_ACCEPT_IMAGE)) {
        window_close(WINDOW_ACCEPT_IMAGE);
        control_disable(4, 0);
    }
}

// Bytes nobody asked for are read off in memory and never stored: a frame
// whose acceptance ended with its call (or a second frame) costs the call
// nothing when it comes whole. Reading it off, rather than ending the call at
// once, keeps that harmless case working; the total time limit keeps a peer
// that trickles it from holding the program, and a frame that does not come
// whole within it leaves the stream out of step, so the call ends.
int offer_take_frame(std::string* keep, std::size_t keep_limit, int64_t* size)
{
    NetFileHooks hooks = {};
    hooks.progress = [](void*, int64_t, int64_t) {
        wait_serve_callers();
        return 0;
    };
    if (net_take_frame(app.peer_connection, keep, keep_limit, net_frame_time_limit_ms(), size,
                       &hooks))
        return 1;
    int end = net_frame_end();
    if (end == NET_FRAME_UNTOUCHED)
        return 0;
    if (end != NET_FRAME_STALLED && wait_peer_closed())
        wait_end_call(WAIT_GONE);
    else
        offer_end_out_of_step(end, 1);
    return 0;
}

void offer_discard_frame()
{
    offer_take_frame(nullptr, 0, nullptr);
}

// Creates the target with O_EXCL, so nothing stored earlier is replaced, not
// even a file that took the name after it was picked. The descriptor, or -1.
static int offer_create_target()
{
    for (int i = 0; i < OFFER_CREATE_TRIES; ++i) {
        if (app.target_name.empty() || offer_name_taken(app.receive_folder + app.target_name))
            pick_target_name();
        if (app.target_name.empty())
            return -1;
        std::string path = app.receive_folder + app.target_name;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

void on_file_frame()
{
    if (!app.file_accepted) {
        offer_discard_frame();
        return;
    }
    // A receipt consumes the acceptance: a second frame is never stored.
    app.file_accepted = 0;
    control_disable(6, 1);
    control_disable(14, 1);
    control_disable(13, 1);
    status("Receiving File...");
    if (offer_make_folder(app.receive_folder))
        control_disable(5, 0);
    int file = offer_create_target();
    if (file < 0) {
        offer_discard_frame();
        if (app.idle)
            return;
        status("Connected. The File could not be Stored in " + app.receive_folder);
        offer_send_corrupted_verdict();
        call_controls_on();
        return;
    }
    std::string path = app.receive_folder + app.target_name;
    PieceHasher* hasher = piece_hasher_start();
    wait_window_open(WAIT_RECEIVING);
    ProgressRun run;
    progress_begin(&run, wait_window_number(WAIT_RECEIVING), hasher);
    net_receive_file_fd(app.peer_connection, file, &run.hooks);
    int end = net_frame_end();
    struct stat st;
    // What counts is what reached the disk, whole.
    int stored = end == NET_FRAME_DONE && fstat(file, &st) == 0 && st.st_size == run.done &&
                 run.done == run.total;
    if (close(file) != 0)
        stored = 0;
    wait_window_close(WAIT_RECEIVING);
    app.received_md5 = piece_hasher_finish(hasher);
    if (end != NET_FRAME_DONE && end != NET_FRAME_FILE_ERROR) {
        // A partial file is nobody's file; an abandoned one stays for the user.
        if (end != NET_FRAME_ABANDONED)
            unlink(path.c_str());
        if (end == NET_FRAME_UNTOUCHED)
            call_controls_on();
        else if (end != NET_FRAME_ABANDONED && end != NET_FRAME_STALLED && wait_peer_closed())
            wait_end_call(WAIT_GONE);
        else
            offer_end_out_of_step(end, 1);
        return;
    }
    status("Connected. File/s Received.");
    alert();
    front_stored(path, file_size(path.c_str()), app.received_md5,
                 stored && app.received_md5 == app.offered_md5);
    if (stored && app.received_md5 == app.offered_md5) {
        int call = app.call_number;
        if (app.open_file == "Yes") {
            std::string question = "Do you wish to Open " + app.target_name + "?";
            app.answer = message_box(app.version_title.c_str(), question.c_str(), MB_YESNO);
            if (app.answer == IDYES)
                app_open(OPEN_DOCUMENT, path);
        }
        if (call != app.call_number)
            return;
        wait_send("sent");
    } else {
        int call = app.call_number;
        message_box(app.version_title.c_str(), "File Sent is Corrupted. (MD5 Error)", MB_OK);
        if (call != app.call_number)
            return;
        offer_send_corrupted_verdict();
    }
    call_controls_on();
}
