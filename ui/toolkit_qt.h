// Private to the toolkit's Qt sources: the window and control tables, the
// event state with its one FIFO, and the widget classes that turn Qt's
// notifications into FIFO entries. Nothing outside ui/toolkit_*.cpp includes
// this file; the application sees only toolkit.h.
//
// Every notification (window events, control events, raw key presses) is
// appended to one FIFO while Qt dispatches; ui_poll_event hands out one entry
// per call, in arrival order. No class here needs moc: signals are connected
// to lambdas and events are caught by overriding the event handlers.
#pragma once

#include "toolkit.h"

#include <QLabel>
#include <QPointer>
#include <QWidget>

#include <deque>
#include <map>
#include <string>
#include <vector>

class QStatusBar;
class QStyle;
class QHBoxLayout;

// One FIFO entry: a window event, a control event, a raw key message or an
// answer.
struct ui_entry {
    int code;     // EVENT_* returned by the poll
    int window;   // window number the entry concerns, -1 when none
    int control;  // control number for EVENT_CONTROL, else -1
    int type;     // TYPE_* for EVENT_CONTROL, else -1
    int key;      // key code for EVENT_KEY_DOWN, else 0
    QPointer<QWidget> focus;  // EVENT_KEY_DOWN: the control the key was typed into, null once it died
    int answer_id;            // EVENT_ANSWER: number of the question answered, else 0
    int answer;               // EVENT_ANSWER: IDOK, IDYES or IDNO, else 0
    std::vector<std::string> files;  // EVENT_ANSWER of a files requester: the chosen paths
};

// A toolkit window: closing is the application's decision, and moves,
// sizes, activations and repaints become FIFO entries.
class ui_window_widget : public QWidget {
public:
    explicit ui_window_widget(int number, Qt::WindowFlags flags);
    int number;                     // window number
protected:
    bool event(QEvent* e) override;
    // Tab and Shift+Tab skip controls the user cannot see: beyond the inner
    // area or under the status bar, as the chat area is while folded away.
    bool focusNextPrevChild(bool next) override;
    void closeEvent(QCloseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    // Files dropped on a window that takes them (WINDOW_TAKES_FILES).
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dropEvent(QDropEvent* e) override;
};

// An image control: shows a picture and reports left, right and double clicks.
class ui_image_label : public QLabel {
public:
    ui_image_label(int control, QWidget* parent);
    int control;                    // control number
    bool in_double_click = false;   // the release that ends a double click is no click
protected:
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
};

struct ui_window {
    QPointer<ui_window_widget> widget;  // the toplevel widget; its size is the inner size
    int owner;                          // window activated when this one closes or hides, -1 none
    unsigned flags;                     // flags given to window_open
    bool maximized;                     // shown maximized when shown again
    QStatusBar* status;                 // status bar of this window, or nullptr
    QLabel* status_icon;                // icon at the left of field 0
    QLabel* status_text;                // text of field 0
    int return_control;                 // clicked by Return, -1 none
    int escape_control;                 // clicked by Escape, -1 none
    QSize grow_from = QSize();          // inner size past which controls grow, invalid none
};

struct ui_control {
    QPointer<QWidget> widget;   // the control's widget (QWidget* is control_handle)
    int kind;                   // KIND_*
    int window;                 // window number that holds it
    int text_color;             // 0xBBGGRR or -1
    int back_color;             // 0xBBGGRR or -1
    bool has_lines;             // editor: a line was added since the last clear
    int limit;                  // string field: longest text in UTF-8 bytes, 0 none
    unsigned grow = 0;          // GROW_* bits
    QRect base = QRect();       // where it was when given its growth
};

// Everything the toolkit holds; one per program, used from the UI thread only.
struct ui_state {
    bool ready;                               // ui_init ran
    std::map<int, ui_window> windows;         // window number -> window
    std::map<int, ui_control> controls;       // control number -> control
    QPointer<QWidget> parent;                 // where new controls go
    int parent_window;                        // window number of `parent`, -1 none
    std::deque<ui_entry> fifo;                // events waiting for the poll
    int last_control;                         // control of the last control event
    int last_type;                            // type of the last poll's control event, -1
    int last_window;                          // window of the last window event
    int last_key;                             // key of the last raw key message
    QPointer<QWidget> last_key_focus;         // control that took that key
    bool key_polled;                          // the last poll returned a key message
    int active;                               // toolkit window last activated, -1 none
    int focus_passing;                        // window given the focus by a closing one, until it has it, -1
    bool holds_focus;                         // one of the program's windows had the focus last, Qt says
    bool escape_pressed;                      // Escape seen since the last abandon check
    qint64 typed_at;                          // when a text was last typed into (ui_clock), 0 never
    std::map<int, bool> window_clicked;       // window clicked since the last abandon check
    int last_answer_id;                       // question of the last answer polled, 0 none
    int last_answer;                          // that answer: IDOK, IDYES or IDNO
    std::vector<std::string> last_files;      // the paths chosen with it
};

ui_state& ui_st();

// FIFO appends. Window events equal to the last queued entry are dropped, so a
// burst of identical ones is reported once.
void ui_queue_window_event(int code, int window);
void ui_queue_control_event(int control, int type);
// `focus` is the control the key was typed into.
void ui_queue_key(int key, QWidget* focus);
// The answer to question `id`.
void ui_queue_answer(int id, int answer, std::vector<std::string> files);
// Takes back the answer to question `id` while it waits in the FIFO.
void ui_drop_answer(int id);
// Closes every open question with no answer (the toolkit is shutting down).
void ui_questions_close_all();

// Table look-ups; nullptr when the number names nothing (or its widget died).
ui_window* ui_find_window(int window);
// Milliseconds of a clock that starts with the program.
qint64 ui_clock();
// The user is typing into one of our fields right now: a window that comes
// by itself then takes no focus from them.
bool ui_typing_now();
// See toolkit_windows.cpp: a window that comes by itself keeps out of the way
// of a user who is typing.
void ui_hold_focus_while_typing(QWidget* w);
// Files dropped on `window`, for the next poll (EVENT_DROP).
void ui_queue_drop(int window, std::vector<std::string> files);
ui_control* ui_find_control(int control);
// The window number whose toplevel widget is `w`'s window, or -1.
int ui_window_of(QWidget* w);
// Removes the controls that belong to `window` from the table (their widgets
// die with the window).
void ui_forget_controls(int window);
// Lays the status bar along the bottom of its window, above every control.
void ui_place_status(ui_window& win);
// How far the window is grown past its window_grow_from size (0, 0 when not).
QSize ui_growth(const ui_window& win);
// `r` moved and widened as GROW_* bits `how` say for a growth of `by`.
QRect ui_grown(QRect r, unsigned how, QSize by);
// Places the controls that grow with the window for its present size.
void ui_place_grown(ui_window& win);
// Forgets the notifications told (at shutdown).
void ui_notes_end();

// The style for check boxes and the status bar: the platform's, with the
// spacing the layouts need.
QStyle* ui_style();
// A copy of an image-table picture as a pixmap; null pixmap for nullptr.
QPixmap ui_pixmap(void* image);
// The toolkit's key code for a Qt key: 13 Return, 27 Escape, 16 Shift,
// capital letters and digits as themselves, 255 for keys without a code.
int ui_key_code(int qt_key, const QString& text);
// Bytes <-> QString.
QString ui_qs(const char* text);
// A window title shown as given: Qt would otherwise take "[*]" for the
// modified-document mark and drop it.
QString ui_title(const char* text);
// Whether `w` can be seen in its window: shown, enabled, and inside the
// inner area above the status bar. Only such controls take the focus.
bool ui_in_sight(QWidget* w);
std::string ui_bytes(const QString& text);
// The active toolkit window: Qt's active window when it is ours, else the one
// last activated (Qt learns of activations only when it next runs), or -1.
int ui_active_window();
// A requester's owner: the active toolkit window, or nullptr.
QWidget* ui_dialog_owner();
