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

#include <chrono>
#include <cstdlib>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "calls.h"
#include "files.h"
#include "frame.h"
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
    int sent = net_send_file(app.peer_connection, app.send_path.c_str(), &run.hooks);
    wait_window_close(WAIT_SENDING);
    if (sent == 1)
        return 1;
    if (run.abandoned) {
        offer_drop_connection();
        offer_end_call(WAIT_ABANDONED);
    } else if (wait_peer_closed()) {
        offer_end_call(WAIT_GONE);
    }
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
            if (!offer_ended) {
                app.send_name = offer_path_name(app.send_path);
                if (offer_is_picture(app.send_name))
                    offer_image();
                else
                    offer_file();
            }
            app.send_path = next_selected_file();
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
        message_box(app.version_title.c_str(), text.c_str(), MB_OK);
        return 0;
    }
    *md5 = *size >= 0 ? md5_file(app.send_path.c_str()) : "";
    if (md5->empty()) {
        std::string text = "Can't Read File: \r  " + app.send_name;
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
    // A late or wrong reply ends the call, but the other files are still tried.
    if (result == WAIT_OK || result == WAIT_TIMEOUT)
        peer_gone();
    else
        offer_end_call(result);
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
    if (receive_text(2) != "a")
        return;
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
    receive_text(4);
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
    int result = wait_for_peer(ask ? WAIT_ASKING : WAIT_RECEIVING, NET_DATA, 0, nullptr);
    if (result != WAIT_OK) {
        wait_end_call(result);
        return;
    }
    receive_text(2);  // "SD"
    if (!ask) {
        offer_accept();
        return;
    }
    window_set_state(WINDOW_MAIN, STATE_RESTORE);
    window_set_topmost(WINDOW_MAIN, 1);
    window_set_topmost(WINDOW_MAIN, 0);
    std::string question = offer_accept_text(app.offered_name, app.size_number,
                                             app.size_unit, app.offered_extension);
    app.answer = message_box(app.version_title.c_str(), question.c_str(), MB_YESNO);
    if (app.answer == IDYES)
        offer_accept();
    else
        offer_decline();
}

void offer_accept()
{
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

void offer_discard_frame()
{
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder && *folder ? folder : "/tmp") + "/jox-discard-XXXXXX";
    int fd = mkstemp(path.data());
    if (fd < 0) {
        // Nowhere to put it: the call cannot go on with the frame in the way.
        offer_drop_connection();
        peer_gone();
        return;
    }
    close(fd);
    net_receive_file(app.peer_connection, path.c_str(), nullptr);
    unlink(path.c_str());
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
    if (file_size(app.receive_folder.c_str()) != -2) {
        create_directory(app.receive_folder.c_str());
        control_disable(5, 0);
    }
    // The name was fixed on acceptance; something may have taken it since.
    if (app.target_name.empty() || offer_name_taken(app.receive_folder + app.target_name))
        pick_target_name();
    if (app.target_name.empty()) {
        offer_discard_frame();
        wait_send("sent");
        wait_send(OFFER_CORRUPTED_NOTICE);
        call_controls_on();
        return;
    }
    std::string path = app.receive_folder + app.target_name;
    PieceHasher* hasher = piece_hasher_start();
    wait_window_open(WAIT_RECEIVING);
    ProgressRun run;
    progress_begin(&run, wait_window_number(WAIT_RECEIVING), hasher);
    int stored = net_receive_file(app.peer_connection, path.c_str(), &run.hooks);
    wait_window_close(WAIT_RECEIVING);
    app.received_md5 = piece_hasher_finish(hasher);
    if (!stored) {
        if (run.abandoned) {
            // The rest of the body is still on its way: the call cannot go on.
            wait_end_call(WAIT_ABANDONED);
            offer_drop_connection();
            return;
        }
        if (wait_peer_closed()) {
            wait_end_call(WAIT_GONE);
            return;
        }
        // The file could not be created: the frame is still waiting.
        if (file_size(path.c_str()) == -1)
            offer_discard_frame();
    }
    status("Connected. File/s Received.");
    alert();
    if (app.received_md5 == app.offered_md5) {
        if (app.open_file == "Yes") {
            std::string question = "Do you wish to Open " + app.target_name + "?";
            app.answer = message_box(app.version_title.c_str(), question.c_str(), MB_YESNO);
            if (app.answer == IDYES)
                app_open(OPEN_DOCUMENT, path);
        }
        wait_send("sent");
    } else {
        message_box(app.version_title.c_str(), "File Sent is Corrupted. (MD5 Error)", MB_OK);
        wait_send("sent");
        wait_send(OFFER_CORRUPTED_NOTICE);
    }
    call_controls_on();
}
