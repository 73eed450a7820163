// The toolkit: numbered windows and controls, a non-blocking event poll, a
// status bar, requesters (blocking, or window-modal with their answer as an
// event) and a painting sleep. The application talks to
// its windows only through this header; the implementation over Qt 6 Widgets
// is the only code that includes Qt.
//
// How the application reads events:
//  - one event per poll; ui_poll_event never waits;
//  - ui_event_type() is -1 after every poll that did not return a control
//    event, so "control N clicked" is ui_event_control() == N together with
//    ui_event_type() == TYPE_CLICK, tested after any poll;
//  - Return in a one-line field gives no control event: the poll returns the
//    raw key message EVENT_KEY_DOWN with ui_event_key() == 13, once per press;
//  - a key is reported once, by the control it was typed into, even where a
//    tab panel holds that control;
//  - a double click on a picture is its first click and one double click;
//  - Tab and Shift+Tab visit only enabled controls the user can see;
//  - a close box gives EVENT_CLOSE_WINDOW once and leaves the window open;
//  - a burst of identical window events is reported once.
// Numbers that name no window or control make every operation do nothing and
// return 0. Texts are bytes (UTF-8), always shown as plain text: whatever looks
// like markup in them is shown literally.
#pragma once

#include <string>
#include <vector>

// Event codes returned by ui_poll_event.
enum {
    EVENT_NONE = 0,
    EVENT_MOVE_WINDOW = 3,
    EVENT_SIZE_WINDOW = 5,
    EVENT_REPAINT = 15,
    EVENT_CLOSE_WINDOW = 16,
    EVENT_KEY_DOWN = 0x100,  // a raw key message; ui_event_key() holds the key
    EVENT_CONTROL = 13100,
    EVENT_MENU = 13101,
    EVENT_TRAY = 13102,
    EVENT_ACTIVATE = 13104,
    EVENT_ANSWER = 13105,    // a question was answered; see message_box_open
    EVENT_QUIT = 13106,      // the quit key (Ctrl+Q) in any window of the program
    EVENT_DROP = 13107,      // files were dropped on a window; ui_event_files() has them
    EVENT_NOTIFIED = 13108   // a desktop notification was clicked; ui_event_window() is its window
};

// Control event types (ui_event_type after EVENT_CONTROL).
enum {
    TYPE_CLICK = 0,
    TYPE_RIGHT_CLICK = 1,
    TYPE_LEFT_DOUBLE_CLICK = 2,
    TYPE_RIGHT_DOUBLE_CLICK = 3,
    TYPE_CHANGE = 768,
    TYPE_FOCUS = 14000,
    TYPE_LOST_FOCUS = 14001,
    TYPE_DRAG_START = 14002
};

// Leaves a window coordinate or size unchanged.
constexpr int KEEP = -65535;

// Window flags for window_open.
enum : unsigned {
    WINDOW_CENTER_SCREEN = 0x1,
    WINDOW_CENTER_PARENT = 0x2,
    WINDOW_MODAL = 0x4,             // blocks input to its owner while open
    WINDOW_MAXIMIZE_BOX = 0x10000,
    WINDOW_MINIMIZE_BOX = 0x20000,
    WINDOW_SIZE_BOX = 0x40000,      // the user may resize it; never smaller than opened
    WINDOW_SYSTEM_MENU = 0x80000,   // title bar with a close box
    WINDOW_TITLE = 0xC00000,        // title bar
    WINDOW_MAXIMIZED = 0x1000000,
    WINDOW_HIDDEN = 0x10000000,
    WINDOW_ASKS = 0x20000000,       // a question that comes by itself: it takes no
                                    // focus from a user who is typing
    WINDOW_TAKES_FILES = 0x40000000,  // files dropped on it give EVENT_DROP
    WINDOW_POPUP = 0x80000000u      // borderless
};

// Window states for window_set_state.
enum { STATE_RESTORE = 0, STATE_MAXIMIZE = 0x1000000, STATE_MINIMIZE = 0x20000000 };

// Message-box button sets and answers.
enum { MB_OK = 0, MB_YESNO = 4, IDOK = 1, IDYES = 6, IDNO = 7 };

// control_editor flag; control_set_color kinds; control_image border flag.
enum { EDITOR_READONLY = 0x800, COLOR_TEXT = 1, COLOR_BACKGROUND = 2, IMAGE_SUNKEN = 0x200 };

// Status-bar field flags.
enum { STATUS_RAISED = 1, STATUS_BORDERLESS = 2, STATUS_CENTRED = 4, STATUS_RIGHT = 8 };

// Control kinds (control_kind).
enum {
    KIND_BUTTON = 1, KIND_STRING = 2, KIND_TEXT = 3, KIND_CHECKBOX = 4, KIND_FRAME = 7,
    KIND_IMAGE = 9, KIND_IMAGE_BUTTON = 19, KIND_EDITOR = 22, KIND_PANEL = 28,
    KIND_PROGRESS = 40
};

// --- Start and end ---------------------------------------------------------
// Creates the toolkit's tables and the Qt application. Non-zero on success.
int ui_init();
// 1 keeps the toolkit's own diagnostics off stderr (a command line that
// prints its own report), fatal ones excepted.
void ui_set_quiet(int quiet);
// Closes every window and frees what the toolkit holds.
void ui_shutdown();

// --- Events ----------------------------------------------------------------
int ui_poll_event();                 // same as ui_wait_event(0)
int ui_wait_event(int timeout_ms);   // -1 waits without limit
int ui_event_control();              // control of the last control event
int ui_event_type();                 // its type; -1 after any other poll result
int ui_event_window();               // window of the last queued window event
int ui_event_key();                  // first parameter of the last raw message
// Sleeps `ms` while keeping every window painted (non-input events only;
// user input waits in the queue for the next poll).
void delay_ms(int ms);
// Waits up to `max_ms` until a window event, input or an answer is pending or
// one of the `nfds` sockets is readable. Nothing is taken off any queue.
void ui_idle_wait(int max_ms, const int* fds, int nfds);
// The platform handle of the widget that has the keyboard focus, or nullptr.
// In the pass whose poll returned a raw key message: the control that key
// was typed into, wherever the focus went since.
void* ui_focus_handle();
// Non-zero while Escape was pressed or `window` was clicked since the last
// call (then cleared): lets a long wait be abandoned by the user.
int ui_abandon_requested(int window);
// Makes the next abandon check answer 1, as Escape would (for front ends
// without a keyboard, such as an interrupted command line).
void ui_request_abandon();

// --- Windows ---------------------------------------------------------------
int window_open(int window, int x, int y, int width, int height, const char* title, unsigned flags);
int window_close(int window);
int window_hide(int window, int hide);
int window_set_topmost(int window, int on);
int window_resize(int window, int x, int y, int width, int height);
// Where the window's frame is (screen coordinates); 0 when it is not open.
int window_position(int window, int* x, int* y);
// Its inner size; 0 when it is not open.
int window_size(int window, int* width, int* height);
// Once the window's inner size passes width x height, controls given a
// growth (control_grow) follow its right and bottom edges; below it they
// stay where they were made.
int window_grow_from(int window, int width, int height);
int window_set_state(int window, int state);
int window_activate(int window);
// Return and Escape in `window` act as a click on these controls (-1 none),
// unless the focus is on a button, which Return then clicks. The button
// Return would click is drawn as the default. The controls need not exist yet.
int window_set_keys(int window, int return_control, int escape_control);
// Restores and raises the window and asks the user to look at it (the
// window manager's urgency hint) without taking the keyboard focus from
// where the user is typing.
int window_attention(int window);
void* window_handle(int window);
// The picture every window shows as its icon (title bar, task bar, window
// switcher). Non-zero on success.
int ui_set_icon(void* image);
// jox's own icon, at the sizes the desktop entry's icon comes in, for every
// window; 0 when it could not be set.
int ui_set_program_icon();
// Controls created from now on become children of this window.
int controls_begin(void* window_handle);
// After the last tab of a panel: new controls go to the panel's window again.
void controls_end();

// --- Controls (number, x, y, width, height relative to the current parent) ---
int control_image(int control, int x, int y, int w, int h, void* image, unsigned flags);
int control_image_button(int control, int x, int y, int w, int h, void* image);
int control_button(int control, int x, int y, int w, int h, const char* caption);
int control_frame(int control, int x, int y, int w, int h, const char* caption);
int control_string(int control, int x, int y, int w, int h, const char* text, unsigned flags);
int control_text(int control, int x, int y, int w, int h, const char* text, unsigned flags);
int control_checkbox(int control, int x, int y, int w, int h, const char* caption);
int control_editor(int control, int x, int y, int w, int h, unsigned flags);
int control_panel(int control, int x, int y, int w, int h);
int control_tooltip(int control, const char* text);
// A thin progress bar (kind KIND_PROGRESS); its value is 0 to 1000.
int control_progress(int control, int x, int y, int w, int h);
int control_set_value(int control, int value);

int control_disable(int control, int state);          // 1 disables, 0 enables
int control_show(int control, int shown);            // 0 hides, 1 shows
int control_set_text(int control, const char* text);  // TYPE_CHANGE on string fields
std::string control_get_text(int control);
int control_add_item(int control, int position, const char* text);
int control_clear_items(int control);
int control_set_color(int control, int kind, int color);  // 0xBBGGRR, -1 = default
int control_set_state(int control, int value);
int control_get_state(int control);
// Longest text a string field takes, in bytes (0 = no limit), and what it
// says (a tip under the field) when typing or pasting cuts a text; for an
// editor, the most lines it keeps (the oldest go first; 0 = no limit).
int control_set_limit(int control, int bytes, const char* note = nullptr);
void* control_handle(int control);
// Gives the control the keyboard focus within its window (the window is not
// brought forward). 0 when there is no such control.
int control_focus(int control);
// Tab visits these controls in this order (Shift+Tab the other way).
int control_set_tab_order(const int* controls, int count);
// How a control follows a window grown past its window_grow_from size:
// GROW_* bits, the growth beyond that size moving or widening it.
enum : unsigned {
    GROW_MOVE_X = 0x1,
    GROW_MOVE_Y = 0x2,
    GROW_WIDTH = 0x4,
    GROW_HEIGHT = 0x8,
    GROW_CENTRE_X = 0x10   // moves by half the growth: stays centred
};
int control_grow(int control, unsigned how);
int control_kind(int control);        // KIND_*, 0 when none
int control_enabled(int control);     // 1 enabled, 0 disabled or none

// --- Status bar (number 0 in every use) ------------------------------------
int statusbar_create(int number, void* window_handle);
int statusbar_set_text(int number, int field, const char* text, int flags);
int statusbar_set_icon(int number, int field, void* image);
std::string statusbar_get_text(int number, int field);

// --- Desktop notifications -------------------------------------------------
// Tells `summary` and `body` (plain text) in a desktop notification, one of
// each `kind` at a time (a later one replaces it); clicking it gives
// EVENT_NOTIFIED for `window`. Never waits: 0 when there is no session bus.
int ui_notify(int kind, int window, const char* summary, const char* body);
// Takes back every notification still shown.
void ui_notify_withdraw();
// 1 while one of the program's windows is the active window.
int ui_program_active();

// --- Requesters (modal: they return once answered, and nothing else runs) ---
// "\r" in texts breaks the line. Result: the button pressed (IDOK, IDYES, IDNO).
int message_box(const char* title, const char* text, int flags);
// The chosen folder ending in "/", or "" when cancelled.
std::string folder_requester(const char* title, const char* initial_folder);
// The first chosen path, or "" when cancelled. `pattern` is "label|filter|...";
// flags bit 1 allows several files.
std::string open_files_requester(const char* title, const char* default_file,
                                 const char* pattern, int pattern_index, int flags);
// The next path of the last multiple selection, "" when none is left.
std::string next_selected_file();

// --- Questions that do not wait ------------------------------------------------
// A message box (flags as message_box: MB_OK or MB_YESNO) shown window-modal
// over the main window (or over `parent_window` when it is open), returning at
// once with the box's number (> 0). When the user answers, ui_poll_event
// returns EVENT_ANSWER once, with ui_event_answer_id() == that number and
// ui_event_answer() == IDOK / IDYES / IDNO (Escape and the title-bar close
// give IDNO for Yes/No boxes, IDOK for OK boxes). The window-modal box never
// stops the caller's loop. Numbers are never reused while the program runs.
// A box whose window is closed under it answers as Escape would. Without a
// display (before ui_init) the answer is IDNO or IDOK at once.
int message_box_open(const char* title, const char* text, int flags, int parent_window = 0);
// The multi-file requester the same way: EVENT_ANSWER with the box's number;
// the chosen paths (none: cancelled) come from ui_event_files(), and
// ui_event_answer() is IDOK with paths, IDNO without. Pattern, index and
// flags as open_files_requester; its selection (next_selected_file) is left
// alone.
int files_requester_open(const char* title, const char* default_file, const char* pattern,
                         int pattern_index, int flags);
// Closes a box or requester that is still open, unanswered: no event follows.
// An answer given but not yet polled is dropped too, so after this call no
// EVENT_ANSWER carries `id`. Unknown numbers are ignored.
void question_close(int id);
// The number, answer and chosen paths of the last EVENT_ANSWER polled (the
// paths also of the last EVENT_DROP); they stay until the next one.
int ui_event_answer_id();
int ui_event_answer();
const std::vector<std::string>& ui_event_files();

// --- Test seams: answers for the next requesters, so no test waits on a
// modal window. Each queued answer is used once, in order, by the blocking
// and the window-modal forms alike (the latter then show no window and queue
// EVENT_ANSWER at once); with none queued a real window opens.
void ui_test_queue_message_answer(int button);
// Folder answer: a path, or "" to cancel.
void ui_test_queue_folder_answer(const std::string& folder);
// Files answer: the chosen paths ({} to cancel). Several paths in one folder
// behave like a multiple selection.
void ui_test_queue_files_answer(const std::string* paths, int count);
// Called with title and text of every message box asked, in either form and
// whether a queued answer stands in for the person or not (nullptr to stop).
void ui_test_set_message_observer(void (*observer)(const char* title, const char* text));
// Renders a window (frame excluded) to a PNG file. Non-zero on success.
int ui_test_grab_window(int window, const char* png_path);
