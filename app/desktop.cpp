// The desktop front end: the windows over the engine. Clicks and keys become
// the engine's commands; its events become the status line, the control
// sets, the chat log, the strips and their progress, and its questions
// become window-modal boxes (and the "Accept Image?" window) whose answers
// come back later as events. Nothing here waits on the peer.
#include "desktop.h"

#include "failure_text.h"

#include "calls.h"
#include "handlers.h"
#include "state.h"
#include "constants.h"

#include "engine.h"
#include "offer_names.h"

#include "files.h"
#include "image.h"
#include "launch.h"
#include "layouts.h"
#include "notes.h"
#include "net.h"
#include "opening.h"
#include "sound.h"
#include "toolkit.h"

#include <poll.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

// A question of the engine and the window that asks it.
struct OpenQuestion {
    uint64_t qid;
    int kind;
    int box;           // toolkit box number; 0 for the "Accept Image?" window
    std::string path;  // the stored file, for QUESTION_OPEN_FILE
};

enum { IMAGE_PREVIEW = 112 };

std::unique_ptr<Engine> engine;
std::vector<OpenQuestion> questions;
int strip_shown[2] = {0, 0};  // progress controls made on the sending, receiving strip
int64_t strip_start[2] = {0, 0};
void (*progress_observer)(int window) = nullptr;
int progress_display = 1;
double progress_spent = 0;  // seconds spent drawing progress, all transfers

const char* notice_text(int code)
{
    switch (code) {
    case NOTICE_BUSY: return "Server Already Connected With a User.";
    case NOTICE_SELF: return "Can't Connect to Yourself!!!";
    case NOTICE_CANT_FIND: return "Can't find the Server.  Try again later.";
    case NOTICE_CORRUPTED: return "File Sent is Corrupted. (MD5 Error)";
    default: return "";
    }
}

EngineConfig desktop_config()
{
    EngineConfig c;
    c.port = app.port;
    c.listen = 1;
    c.host_name = net_host_name();
    c.session.nickname = app.nickname;
    c.session.timeout_seconds = app.timeout_seconds;
    c.session.auto_accept = app.auto_accept == "Yes";
    c.session.open_file = app.open_file == "Yes";
    c.session.receive_folder = app.receive_folder;
    c.session.working_folder = current_directory();
    // A verdict that trails "sent" still shows as a chat line whenever it
    // comes; the report of the Send File operation need not wait long for it.
    c.session.settle_ms = 300;
    return c;
}

void controls_set(int set)
{
    switch (set) {
    case CONTROLS_CALL_ON:
        call_controls_on();
        break;
    case CONTROLS_CALL_OFF:
        call_controls_off();
        control_focus(0);
        break;
    case CONTROLS_ANSWERED:
        sound_volume(3, 100);
        [[fallthrough]];
    case CONTROLS_PLACED:
        control_disable(8, 1);
        control_disable(0, 1);
        for (int n : {7, 9, 6, 14, 13}) control_disable(n, 0);
        // In a call the keyboard goes to the chat where it shows; idle, to
        // the address (the field that just went grey held it).
        control_focus(app.chat_expanded == 1 ? 13 : 6);
        break;
    case CONTROLS_NAMED:
        for (int c : {6, 14, 13, 9}) control_disable(c, 0);
        break;
    case CONTROLS_PEER_SELECTING:
        for (int c : {6, 14, 13, 7}) control_disable(c, 1);
        break;
    case CONTROLS_PEER_TYPING:
        control_disable(6, 1);
        control_disable(7, 1);
        break;
    case CONTROLS_PEER_TYPED:
        control_disable(6, 0);
        control_disable(7, 0);
        break;
    case CONTROLS_TRANSFER:
        for (int c : {6, 14, 13}) control_disable(c, 1);
        break;
    case CONTROLS_DECLINED:
        for (int c : {6, 14, 13, 9, 7}) control_disable(c, 0);
        break;
    case CONTROLS_BUSY_LINE:
        control_disable(9, 1);
        break;
    default:
        break;
    }
}

void strip(int kind, int on)
{
    int window = kind == WAIT_KIND_SENDING ? WINDOW_SENDING : WINDOW_RECEIVING;
    int i = kind == WAIT_KIND_SENDING ? 0 : 1;
    if (on) {
        if (window_handle(window)) return;
        if (kind == WAIT_KIND_SENDING) build_sending_window();
        else build_receiving_window();
        window_set_topmost(window, 1);
        // Where the main window was, which steps aside for it; a second
        // strip below the first.
        int x = 0, y = 0;
        if (window_position(WINDOW_MAIN, &x, &y))
            window_resize(window, x, y + (window_handle(kind == WAIT_KIND_SENDING ? WINDOW_RECEIVING : WINDOW_SENDING)
                                              ? 25 + PROGRESS_DETAIL_HEIGHT + 8 : 0), KEEP, KEEP);
        window_hide(WINDOW_MAIN, 1);
        // A click left over from an earlier strip must not stop this one.
        ui_abandon_requested(window);
        strip_shown[i] = 0;
        strip_start[i] = engine_now_ms();
        return;
    }
    if (!window_handle(window)) return;
    window_close(window);
    if (!window_handle(WINDOW_SENDING) && !window_handle(WINDOW_RECEIVING)) window_hide(WINDOW_MAIN, 0);
}

void progress(const EngineEvent& e)
{
    int window = e.on ? WINDOW_SENDING : WINDOW_RECEIVING;
    int i = e.on ? 0 : 1;
    if (!window_handle(window)) return;
    // A transfer that is over at its first report was too short to show.
    if (!progress_display || (!strip_shown[i] && e.done >= e.total)) return;
    int64_t start = engine_now_ms();
    controls_begin(window_handle(window));
    if (!strip_shown[i]) {
        // The strip's picture keeps its right-hand part plain for these;
        // a line below it names the file and the time left.
        control_text(PROGRESS_TEXT, 114, 2, 82, 13, "", 0);
        control_progress(PROGRESS_BAR, 114, 16, 80, 5);
        window_resize(window, KEEP, KEEP, 219, 25 + PROGRESS_DETAIL_HEIGHT);
        control_text(PROGRESS_DETAIL, 4, 26, 211, PROGRESS_DETAIL_HEIGHT - 2, "", 0);
        strip_shown[i] = 1;
    }
    control_set_value(PROGRESS_BAR, e.total > 0 ? int(e.done * 1000 / e.total) : 1000);
    control_set_text(PROGRESS_TEXT, progress_text(e.done, e.total, e.seconds, e.from).c_str());
    control_set_text(PROGRESS_DETAIL, progress_detail(without_bidi(e.name), e.done, e.total, e.seconds, e.from).c_str());
    controls_end();
    progress_spent += double(engine_now_ms() - start) / 1000.0;
    if (progress_observer) progress_observer(window);
}

void attention()
{
    window_set_state(WINDOW_MAIN, STATE_RESTORE);
    window_set_topmost(WINDOW_MAIN, 1);
    window_set_topmost(WINDOW_MAIN, 0);
    window_attention(WINDOW_MAIN);
}

void show_accept_image(const EngineEvent& q)
{
    window_set_state(WINDOW_MAIN, STATE_RESTORE);
    build_accept_image_window(app.version_title.c_str());
    window_set_topmost(WINDOW_ACCEPT_IMAGE, 1);
    int w = 0, h = 0;
    if (!q.preview.empty() && image_catch(IMAGE_PREVIEW, q.preview.data(), q.preview.size())) {
        // A stranger's preview can be any size; the window shows what fits
        // the box every preview is made for.
        int fw = 0, fh = 0;
        offer_preview_size(image_width(IMAGE_PREVIEW), image_height(IMAGE_PREVIEW), &fw, &fh);
        if (image_width(IMAGE_PREVIEW) > 150 || image_height(IMAGE_PREVIEW) > 130)
            image_resize(IMAGE_PREVIEW, fw, fh);
        w = std::min(image_width(IMAGE_PREVIEW), 150);
        h = std::min(image_height(IMAGE_PREVIEW), 130);
    } else {
        image_free(IMAGE_PREVIEW);
    }
    AcceptImageLayout layout = offer_accept_image_layout(w, h);
    controls_begin(window_handle(WINDOW_ACCEPT_IMAGE));
    control_image(15, layout.image_x, layout.image_y, 144, 47, image_handle(IMAGE_PREVIEW), IMAGE_SUNKEN);
    control_button(29, 100, layout.buttons_y, 70, 24, "&No");
    control_button(30, 20, layout.buttons_y, 70, 24, "&Yes");
    // Return answers Yes, as in "Accept File", and Yes shows it.
    control_focus(30);
    window_resize(WINDOW_ACCEPT_IMAGE, KEEP, KEEP, KEEP, layout.inner_height);
    // Options would reuse the preview's control number for its banner.
    control_disable(4, 1);
}

void close_accept_image()
{
    if (!window_handle(WINDOW_ACCEPT_IMAGE)) return;
    window_close(WINDOW_ACCEPT_IMAGE);
    control_disable(4, 0);
}

void ask(const EngineEvent& q)
{
    OpenQuestion open{q.qid, q.code, 0, q.path};
    const char* title = app.version_title.c_str();
    if (q.code == QUESTION_ACCEPT_FILE) {
        attention();
        std::string number = q.size_text.substr(0, q.size_text.size() - q.size_unit.size());
        std::string text = offer_accept_text(q.name, number, q.size_unit, q.extension) + "\r\r" + offer_sender();
        open.box = message_box_open(title, text.c_str(), MB_YESNO);
    } else if (q.code == QUESTION_ACCEPT_IMAGE) {
        show_accept_image(q);
        control_tooltip(15, (q.name + "\n" + offer_sender()).c_str());
    } else if (q.code == QUESTION_OPEN_FILE) {
        std::string text = "Do you wish to Open " + q.name + "?";
        open.box = message_box_open(title, text.c_str(), MB_YESNO);
    } else if (q.code == QUESTION_CHOOSE_FILES) {
        open.box = files_requester_open("Select a file/s to send it/them", "", "All files (*.*)|*.*", 0, 2);
    }
    questions.push_back(open);
}

void withdraw(uint64_t qid)
{
    for (std::size_t i = 0; i < questions.size(); ++i) {
        if (questions[i].qid != qid) continue;
        if (questions[i].box) question_close(questions[i].box);
        else close_accept_image();
        questions.erase(questions.begin() + long(i));
        return;
    }
}

void notice(const EngineEvent& e)
{
    std::string text = notice_text(e.code);
    if (e.code == NOTICE_TOO_BIG)
        text = "File Too Big to Send: \r  " + e.text + "\r  Files of 2 GB or more can't be sent.";
    else if (e.code == NOTICE_UNREADABLE)
        text = "Can't Read File: \r  " + e.text;
    else if (e.code == NOTICE_FOLDER)
        text = "Can't Create the Folder for Received Files: \r  " + e.text;
    std::string more = e.code == NOTICE_CANT_FIND ? call_failure_text(e.index, e.text, app.port, e.seconds) : "";
    if (!more.empty()) text += "\r\r" + more;
    if (text.empty()) return;
    message_box_open(app.version_title.c_str(), text.c_str(), MB_OK);
}

void on_event(const EngineEvent& e)
{
    switch (e.kind) {
    case EventKind::Status:
        status(e.text);
        break;
    case EventKind::Icon:
        status_icon(e.code);
        break;
    case EventKind::CallState:
        if (window_handle(WINDOW_WAIT) && e.code != PHASE_CONNECTING) window_close(WINDOW_WAIT);
        if (e.code == PHASE_CONNECTING) {
            build_wait_window();
            window_set_topmost(WINDOW_WAIT, 1);
            ui_abandon_requested(WINDOW_WAIT);  // a click from before is not an answer
        }
        app.idle = e.code != PHASE_LIVE;
        if (e.code == PHASE_LIVE) {
            app.server_side = e.role == ROLE_ANSWERER;
            app.peer_address = e.text;
            app.peer_nickname.clear();
        }
        if (e.code == PHASE_IDLE) {
            app.typing_announced = 0;
            strip(WAIT_KIND_SENDING, 0);
            strip(WAIT_KIND_RECEIVING, 0);
        }
        break;
    case EventKind::Controls:
        controls_set(e.code);
        break;
    case EventKind::PeerName:
        app.peer_nickname = e.text;
        break;
    case EventKind::ChatLine:
        append_chat_line(e.text, e.received);
        if (e.received) note_chat(e.text);
        break;
    case EventKind::ChatCleared:
        chat_cleared();
        break;
    case EventKind::ChatGrey:
        grey_chat_log();
        break;
    case EventKind::Attention:
        attention();
        break;
    case EventKind::Alert:
        alert();
        break;
    case EventKind::Waiting:
        strip(e.code, e.on);
        break;
    case EventKind::Progress:
        progress(e);
        break;
    case EventKind::Stored:
        app.stored_name = e.path.substr(e.path.rfind('/') + 1);
        note_received(app.stored_name, e.good, file_size(e.path.c_str()) >= 0);
        if (e.good || file_size(app.receive_folder.c_str()) == -2) control_disable(5, 0);
        break;
    case EventKind::SendDone:
        app.files_sent = e.code;
        note_sent(e.code);
        break;
    case EventKind::CallPlaced:
        app.last_address = e.text;
        save_settings();
        break;
    case EventKind::Notice:
        notice(e);
        break;
    case EventKind::Question:
        ask(e);
        if (e.code == QUESTION_ACCEPT_FILE || e.code == QUESTION_ACCEPT_IMAGE)
            note_offer(e.code == QUESTION_ACCEPT_IMAGE, e.name, e.size_text);
        break;
    case EventKind::QuestionWithdrawn:
        withdraw(e.qid);
        break;
    default:
        break;
    }
}

void drain_events()
{
    EngineEvent e;
    notes_look();
    while (engine && engine->next_event(&e)) on_event(e);
}

}  // namespace

void status(const std::string& text)
{
    statusbar_set_text(0, 0, without_bidi(text).c_str(), STATUS_BORDERLESS);
}

void alert()
{
    sound_play(3, 0);
}

void status_icon(int connected)
{
    statusbar_set_icon(0, 0, image_handle(connected ? 4 : 3));
}

void call_controls_on()
{
    for (int c : {6, 14, 13, 9, 7}) control_disable(c, 0);
}

void call_controls_off()
{
    for (int c : {6, 14, 13, 7}) control_disable(c, 1);
    control_disable(8, 0);
    control_disable(0, 0);
}

void grey_chat_log()
{
    control_set_color(12, COLOR_TEXT, 0x666666);
    app.chat_lines = 0;
}

std::string progress_detail(const std::string& name, int64_t done, int64_t total, double seconds, int64_t from)
{
    double rate = seconds >= 0.1 ? double(done - from) / seconds : 0;
    if (rate <= 0 || done >= total) return name;
    long long left = (long long)(double(total - done) / rate + 0.5);
    char text[48];
    if (left >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld left", left / 3600, left / 60 % 60, left % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld left", left / 60, left % 60);
    return name + " \xC2\xB7 " + text;
}

std::string progress_text(int64_t done, int64_t total, double seconds, int64_t from)
{
    int64_t percent = total > 0 ? done * 100 / total : 100;
    char text[64];
    if (from > 0 && seconds < RESUMING_SHOWN) {
        // The first moments of a resumed transfer say where it went on.
        std::snprintf(text, sizeof text, "resuming at %lld %%", static_cast<long long>(total > 0 ? from * 100 / total : 0));
    } else if (seconds < 0.1) {
        std::snprintf(text, sizeof text, "%lld %%", static_cast<long long>(percent));
    } else {
        // Slow links read in kB/s: "0 MB/s" says nothing.
        double speed = double(done - from) / seconds / 1048576.0;
        if (speed < 1.0)
            std::snprintf(text, sizeof text, "%lld %% \xC2\xB7 %.0f kB/s", static_cast<long long>(percent), speed * 1024.0);
        else
            std::snprintf(text, sizeof text, "%lld %% \xC2\xB7 %.0f MB/s", static_cast<long long>(percent), speed);
    }
    return text;
}

void progress_set_observer(void (*observer)(int window))
{
    progress_observer = observer;
}

void progress_set_display(int on)
{
    progress_display = on;
}

double progress_display_seconds()
{
    return progress_spent;
}

int desktop_start()
{
    engine = std::make_unique<Engine>();
    questions.clear();
    int listening = engine->start(desktop_config(), engine_now_ms());
    if (!listening) status(listen_failure_text(app.port, engine->listen_error()));
    return listening;
}

void desktop_settings_changed()
{
    if (engine) engine->set_config(desktop_config());
}

int desktop_listening_port()
{
    return engine ? engine->listening_port() : 0;
}

void desktop_serve(int wait_ms)
{
    if (!engine) return;
    std::vector<pollfd> fds;
    int64_t now = engine_now_ms();
    engine->pollfds(&fds, now);
    int writing = 0;
    std::vector<int> readable;
    for (const pollfd& p : fds) {
        writing |= (p.events & POLLOUT) != 0;
        readable.push_back(p.fd);
    }
    int ready = poll(fds.data(), fds.size(), 0);
    if (ready == 0 && wait_ms > 0) {
        int64_t deadline = engine->deadline(now);
        int64_t wait = deadline == INT64_MAX ? wait_ms : deadline <= now ? 0 : deadline - now;
        if (wait > wait_ms) wait = wait_ms;
        // The window system's wait watches reading only: while bytes wait to
        // go out, it is kept short.
        if (writing && wait > 5) wait = 5;
        if (wait > 0) ui_idle_wait(int(wait), readable.data(), int(readable.size()));
        ready = poll(fds.data(), fds.size(), 0);
    }
    engine->polled(fds, fds.size(), engine_now_ms());
    drain_events();
}

void desktop_place_call()
{
    app.last_address = control_get_text(0);
    // The window's settings are the truth: the call uses them as they are now.
    engine->set_config(desktop_config());
    engine->place_call(app.last_address, engine_now_ms());
    drain_events();
}

void desktop_disconnect()
{
    engine->disconnect(engine_now_ms());
    drain_events();
}

void desktop_send_files()
{
    engine->send_files(engine_now_ms());
    drain_events();
}

void desktop_drop(const std::vector<std::string>& paths)
{
    // Offered as if chosen with Send File, when Send File could be clicked.
    if (app.idle || !control_enabled(6) || !window_handle(WINDOW_MAIN)) return;
    std::vector<std::string> files;
    std::string folders;
    for (const std::string& p : paths) {
        if (file_size(p.c_str()) == -2) folders += "\r  " + offer_path_name(p);
        else files.push_back(p);
    }
    if (!folders.empty())
        message_box_open(app.version_title.c_str(), ("Folders can't be sent, only files:" + folders).c_str(), MB_OK);
    if (files.empty()) return;
    engine->send_paths(files, engine_now_ms());
    drain_events();
}

void desktop_typing(int non_empty)
{
    if (app.idle) return;
    app.typing_announced = non_empty;
    engine->typing(non_empty, engine_now_ms());
    drain_events();
}

void desktop_chat()
{
    std::string text = control_get_text(13);
    if (text.empty()) return;
    engine->chat(text, engine_now_ms());
    app.typing_announced = 0;
    control_set_text(13, "");
    drain_events();
}

void desktop_answered(int box, int answer, const std::vector<std::string>& files)
{
    for (std::size_t i = 0; i < questions.size(); ++i) {
        if (questions[i].box != box || !box) continue;
        OpenQuestion q = questions[i];
        questions.erase(questions.begin() + long(i));
        int64_t now = engine_now_ms();
        if (q.kind == QUESTION_CHOOSE_FILES) {
            engine->answer_files(q.qid, files, now);
        } else {
            // Opening is our user's own act: it happens even when the call
            // ended meanwhile; the engine then sends nothing.
            if (q.kind == QUESTION_OPEN_FILE && answer == IDYES) app_open(OPEN_DOCUMENT, q.path);
            engine->answer(q.qid, answer == IDYES, now);
        }
        drain_events();
        return;
    }
}

void desktop_image_answer(int control)
{
    if (!window_handle(WINDOW_ACCEPT_IMAGE)) return;
    close_accept_image();
    for (std::size_t i = 0; i < questions.size(); ++i) {
        if (questions[i].kind != QUESTION_ACCEPT_IMAGE) continue;
        uint64_t qid = questions[i].qid;
        questions.erase(questions.begin() + long(i));
        engine->answer(qid, control == 30, engine_now_ms());
        break;
    }
    drain_events();
}

void desktop_check_abandon()
{
    int64_t now = engine_now_ms();
    if (window_handle(WINDOW_WAIT) && ui_abandon_requested(WINDOW_WAIT)) {
        engine->cancel_call(now);
        drain_events();
    }
    for (int window : {WINDOW_SENDING, WINDOW_RECEIVING}) {
        if (window_handle(window) && ui_abandon_requested(window)) {
            engine->abandon(now);
            drain_events();
        }
    }
}

void desktop_stop()
{
    if (!engine) return;
    engine->shutdown(engine_now_ms());
    drain_events();
    // The goodbye gets a moment to leave; nothing else is waited for.
    int64_t until = engine_now_ms() + Engine::BYE_LIMIT;
    for (int i = 0; i < 200 && !engine->done() && engine_now_ms() < until; ++i) {
        std::vector<pollfd> fds;
        engine->pollfds(&fds, engine_now_ms());
        poll(fds.data(), fds.size(), 5);
        engine->polled(fds, fds.size(), engine_now_ms());
    }
    drain_events();
    engine.reset();
    questions.clear();
}

void desktop_abandon()
{
    // Whatever the fault left half done is not touched again.
    (void)engine.release();
    questions.clear();
}
