// The toolkit's start and end, its one event FIFO and the calls that read it:
// the poll, the painting sleep, the idle wait and the abandon check. Answers
// to window-modal questions travel through the same FIFO, so they come out in
// the order they were given, between the clicks and keys around them.
//
// Key idea: Qt dispatches its own events (inside processEvents) and our
// widgets append what the application cares about to one FIFO; the poll
// returns one FIFO entry per call, so nothing is lost when several things
// happen during one dispatch. The poll only asks Qt for more when the FIFO is
// empty, and never waits.
#include "toolkit_qt.h"

#include <cstdio>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QSocketNotifier>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <QWindow>

#include <memory>
#include <vector>

namespace {

// Watches every event of the application for the two signs that the user
// wants to abandon a long wait: Escape anywhere, a click on a window.
class ui_abandon_filter : public QObject {
public:
    bool eventFilter(QObject* obj, QEvent* e) override
    {
        if (e->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(e);
            if (key->key() == Qt::Key_Escape)
                ui_st().escape_pressed = true;
            bool text_field = qobject_cast<QLineEdit*>(obj) || qobject_cast<QTextEdit*>(obj);
            if (text_field && !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)))
                ui_st().typed_at = ui_clock();
            // The program's own quit key, whichever of its windows has the focus.
            bool quit = key->matches(QKeySequence::Quit) ||
                        (key->key() == Qt::Key_Q && key->modifiers() == Qt::ControlModifier);
            if (quit && obj->isWidgetType()) {
                ui_queue_window_event(EVENT_QUIT, -1);
                return true;
            }
        } else if (e->type() == QEvent::MouseButtonPress && obj->isWidgetType()) {
            int window = ui_window_of(static_cast<QWidget*>(obj));
            if (window >= 0)
                ui_st().window_clicked[window] = true;
        }
        return false;
    }
};

ui_abandon_filter* ui_filter = nullptr;

// argc and argv must outlive the QApplication we create.
int ui_argc = 1;
char ui_arg0[] = "jox";
char* ui_argv[] = {ui_arg0, nullptr};

// Pops one FIFO entry into the event state and returns its code.
int ui_pop_entry()
{
    ui_state& s = ui_st();
    ui_entry e = s.fifo.front();
    s.fifo.pop_front();
    if (e.window >= 0)
        s.last_window = e.window;
    if (e.code == EVENT_CONTROL) {
        s.last_control = e.control;
        s.last_type = e.type;
    } else if (e.code == EVENT_KEY_DOWN) {
        s.last_key = e.key;
        s.last_key_focus = e.focus;
        s.key_polled = true;
    } else if (e.code == EVENT_ANSWER) {
        s.last_answer_id = e.answer_id;
        s.last_answer = e.answer;
        s.last_files = std::move(e.files);
    } else if (e.code == EVENT_DROP) {
        s.last_files = std::move(e.files);
    }
    return e.code;
}

// Lets Qt run, unless it ran less than 10 ms ago: a transfer reports its
// progress for every piece, and painting a hundred times a second is plenty.
void ui_run_qt_throttled(QEventLoop::ProcessEventsFlags flags)
{
    static QElapsedTimer last;
    if (last.isValid() && last.elapsed() < 10)
        return;
    QCoreApplication::processEvents(flags);
    last.start();
}

}  // namespace

ui_state& ui_st()
{
    static ui_state state{false, {}, {}, nullptr, -1, {}, 0, -1, 0, 0, nullptr, false, -1, -1, false, false, 0, {}, 0, 0, {}};
    return state;
}

// --- Start and end ----------------------------------------------------------

// The offscreen platform (tests, benchmarks) cannot stack windows and warns
// on every raise; those lines would bury real diagnostics.
static QtMessageHandler ui_previous_handler = nullptr;
static bool ui_filter_installed = false;
static bool ui_quiet = false;  // see ui_set_quiet

static void ui_message_filter(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (ui_quiet && type != QtFatalMsg)
        return;
    if (text.startsWith(QLatin1String("This plugin does not support raise()")))
        return;
    if (ui_previous_handler)
        ui_previous_handler(type, context, text);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

void ui_set_quiet(int quiet)
{
    ui_quiet = quiet != 0;
}

int ui_init()
{
    if (!ui_filter_installed) {
        ui_previous_handler = qInstallMessageHandler(ui_message_filter);
        ui_filter_installed = true;
    }
    if (!QCoreApplication::instance())
        new QApplication(ui_argc, ui_argv);
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return 0;
    // Windows come and go (the main window hides during some waits); only
    // the application decides when the program ends.
    qApp->setQuitOnLastWindowClosed(false);
    ui_state& s = ui_st();
    if (!ui_filter) {
        ui_filter = new ui_abandon_filter;
        qApp->installEventFilter(ui_filter);
        // Qt reports "no focus window" only once the focus has left the
        // program (it waits a moment for the focus to land on another of its
        // windows); between two of ours it names no window for a while.
        QObject::connect(qApp, &QGuiApplication::focusWindowChanged, ui_filter, [](QWindow* w) {
            ui_st().holds_focus = w != nullptr;
            if (w)
                ui_st().focus_passing = -1;
        });
    }
    s.ready = true;
    return 1;
}

void ui_shutdown()
{
    ui_state& s = ui_st();
    // Before the windows: a box dying with its window would answer.
    ui_questions_close_all();
    ui_notes_end();
    std::vector<int> open;
    for (auto& [number, win] : s.windows)
        open.push_back(number);
    for (int number : open)
        window_close(number);
    s.controls.clear();
    s.fifo.clear();
    s.parent = nullptr;
    s.parent_window = -1;
    s.last_control = 0;
    s.last_type = -1;
    s.last_window = 0;
    s.last_key = 0;
    s.last_key_focus = nullptr;
    s.key_polled = false;
    s.active = -1;
    s.focus_passing = -1;
    s.holds_focus = false;
    s.escape_pressed = false;
    s.typed_at = 0;
    s.window_clicked.clear();
    s.last_answer_id = 0;
    s.last_answer = 0;
    s.last_files.clear();
    if (ui_filter && qApp)
        qApp->removeEventFilter(ui_filter);
    delete ui_filter;
    ui_filter = nullptr;
    s.ready = false;
}

// --- FIFO -------------------------------------------------------------------

void ui_queue_window_event(int code, int window)
{
    ui_state& s = ui_st();
    if (!s.fifo.empty()) {
        const ui_entry& last = s.fifo.back();
        if (last.code == code && last.window == window)
            return;
    }
    s.fifo.push_back({code, window, -1, -1, 0, nullptr, 0, 0, {}});
}

void ui_queue_control_event(int control, int type)
{
    ui_control* c = ui_find_control(control);
    ui_st().fifo.push_back({EVENT_CONTROL, c ? c->window : -1, control, type, 0, nullptr, 0, 0, {}});
}

void ui_queue_key(int key, QWidget* focus)
{
    ui_st().fifo.push_back({EVENT_KEY_DOWN, -1, -1, -1, key, focus, 0, 0, {}});
}

void ui_queue_drop(int window, std::vector<std::string> files)
{
    ui_st().fifo.push_back({EVENT_DROP, window, -1, -1, 0, nullptr, 0, 0, std::move(files)});
}

void ui_queue_answer(int id, int answer, std::vector<std::string> files)
{
    ui_st().fifo.push_back({EVENT_ANSWER, -1, -1, -1, 0, nullptr, id, answer, std::move(files)});
}

void ui_drop_answer(int id)
{
    std::deque<ui_entry>& fifo = ui_st().fifo;
    for (auto it = fifo.begin(); it != fifo.end(); ++it)
        if (it->code == EVENT_ANSWER && it->answer_id == id) {
            fifo.erase(it);
            return;
        }
}

// --- Events -----------------------------------------------------------------

int ui_poll_event()
{
    return ui_wait_event(0);
}

int ui_wait_event(int timeout_ms)
{
    ui_state& s = ui_st();
    s.last_type = -1;
    s.key_polled = false;
    // Without a display only answers are queued (a question asked then is
    // answered at once), and they must still reach the caller.
    if (!s.ready)
        return s.fifo.empty() ? EVENT_NONE : ui_pop_entry();
    if (s.fifo.empty())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (s.fifo.empty() && timeout_ms != 0) {
        // A wait for a person may last as long as the person likes; a
        // positive timeout bounds it.
        QElapsedTimer clock;
        clock.start();
        QTimer timer;
        timer.setSingleShot(true);
        bool expired = false;
        QObject::connect(&timer, &QTimer::timeout, [&expired] { expired = true; });
        if (timeout_ms > 0)
            timer.start(timeout_ms);
        QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance();
        while (s.fifo.empty() && !expired && d) {
            d->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
            if (timeout_ms > 0 && clock.elapsed() > timeout_ms)
                break;
        }
    }
    if (s.fifo.empty())
        return EVENT_NONE;
    return ui_pop_entry();
}

int ui_event_control() { return ui_st().last_control; }
int ui_event_type() { return ui_st().last_type; }
int ui_event_window() { return ui_st().last_window; }
int ui_event_key() { return ui_st().last_key; }
int ui_event_answer_id() { return ui_st().last_answer_id; }
int ui_event_answer() { return ui_st().last_answer; }
const std::vector<std::string>& ui_event_files() { return ui_st().last_files; }

void delay_ms(int ms)
{
    if (ms <= 0) {
        if (QCoreApplication::instance())
            ui_run_qt_throttled(QEventLoop::ExcludeUserInputEvents);
        return;
    }
    QElapsedTimer clock;
    clock.start();
    // Steps of at most 5 ms keep the small progress windows drawn while the
    // caller waits; user input stays queued in Qt for the next poll.
    for (int step = 0; step <= ms; step++) {
        if (QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        qint64 left = ms - clock.elapsed();
        if (left <= 0)
            break;
        QThread::msleep(static_cast<unsigned long>(left < 5 ? left : 5));
    }
}

void ui_idle_wait(int max_ms, const int* fds, int nfds)
{
    ui_state& s = ui_st();
    if (!s.ready || max_ms <= 0 || !s.fifo.empty())
        return;
    // The timer and the socket watchers are made once and reused.
    static bool woken;
    static QTimer* timer;
    static std::map<int, QSocketNotifier*> watchers;
    if (!timer) {
        timer = new QTimer;
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, [] { woken = true; });
    }
    woken = false;
    std::vector<QSocketNotifier*> armed;
    for (int i = 0; fds && i < nfds; i++) {
        if (fds[i] < 0)
            continue;
        QSocketNotifier*& n = watchers[fds[i]];
        if (!n) {
            n = new QSocketNotifier(fds[i], QSocketNotifier::Read);
            QObject::connect(n, &QSocketNotifier::activated, [] { woken = true; });
        }
        n->setEnabled(true);
        armed.push_back(n);
    }
    timer->start(max_ms);
    QElapsedTimer clock;
    clock.start();
    QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance();
    // Each pass blocks until Qt has something; internal wake-ups (a cursor
    // blink, a deferred delete) that queue nothing for us just go round again.
    for (int pass = 0; d && pass < 100000 && !woken && s.fifo.empty(); pass++) {
        d->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        if (clock.elapsed() >= max_ms)
            break;
    }
    timer->stop();
    // Disarmed at once: the network layer may close a socket before the next
    // call and the number may come back as a file, which polls readable
    // forever and would keep every event loop (a message box's) spinning.
    for (QSocketNotifier* n : armed)
        n->setEnabled(false);
    if (watchers.size() > 64) {
        for (auto& [fd, n] : watchers)
            delete n;
        watchers.clear();
    }
}

void* ui_focus_handle()
{
    ui_state& s = ui_st();
    if (!s.ready)
        return nullptr;
    // A key typed while the loop was busy is read later, maybe after a Tab
    // already moved the focus on: it belongs to the control it was typed in.
    if (s.key_polled)
        return s.last_key_focus.data();
    return QApplication::focusWidget();
}

int window_attention(int window)
{
    ui_window* w = ui_find_window(window);
    if (!w)
        return 0;
    QWidget* widget = w->widget;
    if (widget->isMinimized())
        widget->showNormal();
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        widget->raise();
    // The window manager marks the window (urgency hint) while another one
    // has the focus; the user decides when to come over.
    QApplication::alert(widget);
    return 1;
}

void ui_request_abandon()
{
    ui_st().escape_pressed = true;
}

int ui_abandon_requested(int window)
{
    ui_state& s = ui_st();
    if (!s.ready)
        return 0;
    ui_run_qt_throttled(QEventLoop::AllEvents);
    int result = s.escape_pressed || s.window_clicked[window];
    s.escape_pressed = false;
    s.window_clicked.clear();
    return result;
}

qint64 ui_clock()
{
    static QElapsedTimer started = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return started.elapsed() + 1;
}

bool ui_typing_now()
{
    // About the pause between two words: a question arriving within it
    // would take the next key meant for the field.
    const qint64 TYPING_PAUSE = 1500;
    qint64 at = ui_st().typed_at;
    return at > 0 && ui_clock() - at < TYPING_PAUSE;
}
