// Numbered toplevel windows over QWidget, the status bar of the main window
// and the window grab used by tests.
//
// Sizes given to and kept by these calls are inner sizes: the QWidget's own
// size, the window manager's frame excluded. Windows are never resizable by
// the user (fixed size), so the layouts stay exactly as built; the program
// itself resizes them with window_resize.
//
// Index: the window widget (close requests and window events); helpers
// shared by the toolkit files; window operations; the status bar; the grab.
#include "toolkit_qt.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFrame>
#include <QAbstractButton>
#include <QHBoxLayout>
#include <QIcon>
#include <QImage>
#include <QKeyEvent>
#include <QPaintEvent>
#include <QPixmap>
#include <QProxyStyle>
#include <QScreen>
#include <QStatusBar>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include "image.h"

#include <cstring>

namespace {

constexpr int UI_STATUS_HEIGHT = 20;  // the status bar covers this much of the inner area

Qt::WindowFlags ui_window_flags(unsigned flags)
{
    if (flags & WINDOW_POPUP)
        return Qt::Tool | Qt::FramelessWindowHint;
    // A window without a minimize box is a dialog: window managers then
    // keep it above its owner and give it neither minimize nor maximize.
    Qt::WindowFlags f = (flags & WINDOW_MINIMIZE_BOX) ? Qt::Window : Qt::Dialog;
    f |= Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (flags & WINDOW_SYSTEM_MENU)
        f |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (flags & WINDOW_MINIMIZE_BOX)
        f |= Qt::WindowMinimizeButtonHint;
    if (flags & WINDOW_MAXIMIZE_BOX)
        f |= Qt::WindowMaximizeButtonHint;
    return f;
}

// The font of every toolkit window. The layouts were drawn for a small
// dialog font; a condensed face at 10 pixels fits every caption into its
// rectangle ("Enter Nickname:" in 81 pixels, "Accept All Files" beside its box
// in 91).
QFont ui_window_font()
{
    QFont f = QApplication::font();
    f.setFamilies({QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans Narrow"),
                   QStringLiteral("Arial Narrow"), f.family()});
    f.setStretch(QFont::SemiCondensed);
    f.setPixelSize(10);
    return f;
}

// Tweaks of the platform style for the tight layouts. Style sheets would do
// the same, but they stop children from taking their window's font.
class ui_layout_style : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override
    {
        // A check box caption sits closer to its box, so "Accept All Files"
        // fits the 91 pixels it was given.
        if (metric == PM_CheckBoxLabelSpacing)
            return 3;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override
    {
        // The status field draws its own border, or none when borderless.
        if (element == PE_FrameStatusBarItem)
            return;
        QProxyStyle::drawPrimitive(element, option, painter, widget);
    }
};

// Centre of the rectangle a new window is centred on.
QPoint ui_centre(unsigned flags, int owner, QWidget* parent)
{
    if (flags & WINDOW_CENTER_PARENT) {
        if (ui_window* w = ui_find_window(owner))
            return w->widget->frameGeometry().center();
        // No window of ours is active (the user is elsewhere): the window
        // the dialog belongs to.
        if (parent)
            return parent->window()->frameGeometry().center();
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry().center() : QPoint(512, 384);
}

// Where a popup asked for at x, y goes: the place is taken from the corner of
// the screen's work area, not of the screen, so a strip meant for the top left
// corner is not hidden under a panel there, and it is kept wholly inside.
QPoint ui_popup_place(int x, int y, int width, int height)
{
    QScreen* screen = QGuiApplication::screenAt(QPoint(x, y));
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return QPoint(x, y);
    QRect area = screen->availableGeometry();
    QPoint p = QPoint(x, y) + area.topLeft() - screen->geometry().topLeft();
    p.setX(qMax(area.left(), qMin(p.x(), area.right() + 1 - width)));
    p.setY(qMax(area.top(), qMin(p.y(), area.bottom() + 1 - height)));
    return p;
}

// The window a new dialog stays above: its owner, else the first titled
// window (the main window), never a popup.
QWidget* ui_transient_parent(int owner)
{
    ui_window* w = ui_find_window(owner);
    if (w && !(w->flags & WINDOW_POPUP))
        return w->widget;
    for (auto& [number, win] : ui_st().windows)
        if (win.widget && !(win.flags & WINDOW_POPUP))
            return win.widget;
    return nullptr;
}

}  // namespace

// --- Window widget ----------------------------------------------------------

ui_window_widget::ui_window_widget(int n, Qt::WindowFlags flags) : QWidget(nullptr, flags), number(n) {}

bool ui_window_widget::event(QEvent* e)
{
    switch (e->type()) {
    case QEvent::Move:
        ui_queue_window_event(EVENT_MOVE_WINDOW, number);
        break;
    case QEvent::Resize:
        if (!isMinimized())
            ui_queue_window_event(EVENT_SIZE_WINDOW, number);
        break;
    case QEvent::WindowActivate:
        // A click on a window under a modal dialog activates it (the window
        // manager, or Qt asking for it), yet it takes no keys: they go to
        // the dialog again, or Return and Escape would reach nothing.
        if (QWidget* modal = QApplication::activeModalWidget(); modal && modal->window() != this) {
            QPointer<QWidget> m = modal->window();
            QTimer::singleShot(0, m, [m] {
                if (m && m->isVisible())
                    m->activateWindow();
            });
            break;
        }
        ui_st().active = number;
        ui_queue_window_event(EVENT_ACTIVATE, number);
        break;
    case QEvent::Paint:
        // Only a repaint of the whole background counts: Qt also paints the
        // window behind every control that redraws itself.
        if (static_cast<QPaintEvent*>(e)->region().contains(rect()))
            ui_queue_window_event(EVENT_REPAINT, number);
        break;
    default:
        break;
    }
    return QWidget::event(e);
}

void ui_window_widget::closeEvent(QCloseEvent* e)
{
    // Closing is the application's decision: it hears of the request and
    // calls window_close itself when it agrees.
    e->ignore();
    ui_queue_window_event(EVENT_CLOSE_WINDOW, number);
}

void ui_window_widget::keyPressEvent(QKeyEvent* e)
{
    // Keys a control left unused come here, so a field that takes Return
    // itself keeps it.
    ui_window* w = ui_find_window(number);
    if (w && w->return_control < 0 && w->escape_control < 0)
        w = nullptr;
    bool enter = e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter;
    int target = !w ? -1 : enter ? w->return_control : e->key() == Qt::Key_Escape ? w->escape_control : -1;
    auto* focused = qobject_cast<QAbstractButton*>(focusWidget());
    if (w && enter && focused && focused->window() == this)
        target = -2;
    ui_control* c = target >= 0 ? ui_find_control(target) : nullptr;
    auto* button = target == -2 ? focused : c ? qobject_cast<QAbstractButton*>(c->widget.data()) : nullptr;
    if (!button || !button->isEnabled() || !button->isVisible()) {
        QWidget::keyPressEvent(e);
        return;
    }
    e->accept();
    button->click();
}

void ui_window_widget::dragEnterEvent(QDragEnterEvent* e)
{
    ui_window* w = ui_find_window(number);
    bool local = false;
    if (e->mimeData()->hasUrls())
        for (const QUrl& url : e->mimeData()->urls())
            local = local || url.isLocalFile();
    if (w && (w->flags & WINDOW_TAKES_FILES) && local)
        e->acceptProposedAction();
}

void ui_window_widget::dropEvent(QDropEvent* e)
{
    std::vector<std::string> paths;
    for (const QUrl& url : e->mimeData()->urls())
        if (url.isLocalFile())
            paths.push_back(ui_bytes(url.toLocalFile()));
    if (paths.empty())
        return;
    e->acceptProposedAction();
    ui_queue_drop(number, std::move(paths));
}

void ui_window_widget::resizeEvent(QResizeEvent* e)
{
    QWidget::resizeEvent(e);
    if (ui_window* w = ui_find_window(number)) {
        ui_place_grown(*w);
        ui_place_status(*w);
    }
}

// --- Helpers shared by the toolkit files --------------------------------------

QStyle* ui_style()
{
    // Lives as long as the program: widgets never own their style.
    static ui_layout_style* style = new ui_layout_style;
    return style;
}

ui_window* ui_find_window(int window)
{
    auto& windows = ui_st().windows;
    auto it = windows.find(window);
    if (it == windows.end() || !it->second.widget)
        return nullptr;
    return &it->second;
}

int ui_window_of(QWidget* w)
{
    if (!w)
        return -1;
    if (auto* top = dynamic_cast<ui_window_widget*>(w->window()))
        return ui_find_window(top->number) ? top->number : -1;
    return -1;
}

QPixmap ui_pixmap(void* image)
{
    const Image* img = static_cast<const Image*>(image);
    if (!img || !img->pixels || img->width <= 0 || img->height <= 0)
        return QPixmap();
    QImage view(img->pixels, img->width, img->height, img->width * 4, QImage::Format_RGBA8888);
    return QPixmap::fromImage(view.copy());
}

QString ui_qs(const char* text)
{
    // fromUtf8 drops a leading byte-order mark; a text is kept as it is.
    const char* t = text ? text : "";
    QString marks;
    for (; std::strncmp(t, "\xEF\xBB\xBF", 3) == 0; t += 3)
        marks += QChar(0xFEFF);
    return marks + QString::fromUtf8(t);
}

std::string ui_bytes(const QString& text)
{
    QByteArray b = text.toUtf8();
    return std::string(b.constData(), static_cast<std::size_t>(b.size()));
}

int ui_active_window()
{
    int active = ui_window_of(QApplication::activeWindow());
    if (active >= 0)
        return active;
    return ui_find_window(ui_st().active) ? ui_st().active : -1;
}

QWidget* ui_dialog_owner()
{
    // A popup never owns a box; a hidden owner would keep it out of sight.
    QWidget* owner = ui_transient_parent(ui_active_window());
    return owner && owner->isVisible() ? owner : nullptr;
}

QSize ui_growth(const ui_window& win)
{
    if (!win.grow_from.isValid() || !win.widget)
        return QSize(0, 0);
    return QSize(qMax(0, win.widget->width() - win.grow_from.width()),
                 qMax(0, win.widget->height() - win.grow_from.height()));
}

QRect ui_grown(QRect r, unsigned how, QSize by)
{
    r.translate((how & GROW_MOVE_X) ? by.width() : (how & GROW_CENTRE_X) ? by.width() / 2 : 0,
                (how & GROW_MOVE_Y) ? by.height() : 0);
    r.setSize(r.size() + QSize((how & GROW_WIDTH) ? by.width() : 0, (how & GROW_HEIGHT) ? by.height() : 0));
    return r;
}

void ui_place_grown(ui_window& win)
{
    if (!win.grow_from.isValid() || !win.widget)
        return;
    const QSize by = ui_growth(win);
    for (auto& [number, c] : ui_st().controls)
        if (c.grow && c.widget && c.widget->window() == win.widget)
            c.widget->setGeometry(ui_grown(c.base, c.grow, by));
}

void ui_place_status(ui_window& win)
{
    if (!win.status)
        return;
    QWidget* w = win.widget;
    win.status->setGeometry(0, w->height() - UI_STATUS_HEIGHT, w->width(), UI_STATUS_HEIGHT);
    win.status->raise();
}

// A window that comes by itself while the user types comes up refusing the
// focus (a window it blocks drops the keys), asks to be looked at, and takes
// the focus once the typing has stopped, so it can be answered from the
// keyboard. Called before the window is shown.
void ui_hold_focus_while_typing(QWidget* w)
{
    if (!ui_typing_now())
        return;
    w->setAttribute(Qt::WA_ShowWithoutActivating);
    w->setWindowFlag(Qt::WindowDoesNotAcceptFocus, true);
    if (QWidget* owner = w->parentWidget())
        QApplication::alert(owner->window());
    auto* pause = new QTimer(w);
    QObject::connect(pause, &QTimer::timeout, w, [w, pause] {
        if (ui_typing_now())
            return;
        pause->stop();
        w->overrideWindowFlags(w->windowFlags() & ~Qt::WindowDoesNotAcceptFocus);
        if (QWindow* native = w->windowHandle())
            native->setFlags(w->windowFlags());
        w->activateWindow();
    });
    pause->start(250);
}

// --- Windows ----------------------------------------------------------------

int window_open(int window, int x, int y, int width, int height, const char* title, unsigned flags)
{
    ui_state& s = ui_st();
    if (!s.ready || window < 0 || width < 0 || height < 0)
        return 0;
    window_close(window);
    int owner = ui_active_window();

    auto* w = new ui_window_widget(window, ui_window_flags(flags));
    // Dialogs belong to the main window: the window manager then never
    // raises the main window over them, and a modal one blocks it.
    if (!(flags & (WINDOW_POPUP | WINDOW_MINIMIZE_BOX))) {
        if (QWidget* parent = ui_transient_parent(owner))
            w->setParent(parent, w->windowFlags());
        if (flags & WINDOW_MODAL)
            w->setWindowModality(Qt::WindowModal);
    }
    w->setWindowTitle(ui_title(title));
    w->setFont(ui_window_font());
    if (flags & WINDOW_SIZE_BOX) {
        w->setMinimumSize(width, height);
        w->resize(width, height);
    } else {
        w->setFixedSize(width, height);
    }
    s.windows[window] = ui_window{w, owner, flags, false, nullptr, nullptr, nullptr, -1, -1};

    // The progress popups must not take the focus from the field the user
    // is typing in; they can be given it (see window_hide). Opening while
    // another program has the focus, a popup says it takes none at all: a
    // window manager that focuses new windows by its own rules then leaves
    // the focus with that program.
    if (flags & WINDOW_ASKS)
        ui_hold_focus_while_typing(w);
    w->setAcceptDrops((flags & WINDOW_TAKES_FILES) != 0);
    if (flags & WINDOW_POPUP) {
        w->setAttribute(Qt::WA_ShowWithoutActivating);
        ui_state& st = ui_st();
        if (!QApplication::activeWindow() && st.focus_passing < 0 && !st.holds_focus)
            w->setWindowFlag(Qt::WindowDoesNotAcceptFocus, true);
    }
    bool centred = flags & (WINDOW_CENTER_SCREEN | WINDOW_CENTER_PARENT);
    QPoint centre = centred ? ui_centre(flags, owner, w->parentWidget()) : QPoint();
    if (centred)
        w->move(centre.x() - width / 2, centre.y() - height / 2);
    else if (x != KEEP && y != KEEP)
        w->move((flags & WINDOW_POPUP) ? ui_popup_place(x, y, width, height) : QPoint(x, y));
    if (!(flags & WINDOW_HIDDEN)) {
        if (flags & WINDOW_MAXIMIZED) {
            s.windows[window].maximized = true;
            w->showMaximized();
        } else {
            w->show();
        }
        // A question the program asks while the user works in it takes the
        // keyboard, even just after another window of ours was closed and
        // the window manager is still handing the focus back to its owner:
        // Return then answers it instead of pressing a button behind it.
        ui_state& st = ui_st();
        if ((flags & WINDOW_ASKS) && !ui_typing_now() && (QApplication::activeWindow() || st.holds_focus))
            w->activateWindow();
    }
    // Only a shown window knows its frame; centre the whole window.
    if (centred && !(flags & WINDOW_MAXIMIZED)) {
        QRect frame = w->frameGeometry();
        w->move(centre.x() - frame.width() / 2, centre.y() - frame.height() / 2);
    }
    return 1;
}

// Whether `window` has the focus, or is about to. The window manager moves
// the focus between windows asynchronously: when a strip closes and the next
// wait opens another at once, Qt may not yet have heard which of our windows
// has it. While the focus has not left the program and Qt names no active
// window, the window the program works in counts as having it.
static bool ui_had_focus(QWidget* widget, int window)
{
    ui_state& s = ui_st();
    return widget->isActiveWindow() || s.focus_passing == window ||
           (s.holds_focus && !QApplication::activeWindow());
}

int window_close(int window)
{
    ui_state& s = ui_st();
    auto it = s.windows.find(window);
    if (it == s.windows.end())
        return 0;
    QPointer<ui_window_widget> w = it->second.widget;
    int owner = it->second.owner;
    ui_forget_controls(window);
    s.windows.erase(it);
    if (s.parent_window == window) {
        s.parent = nullptr;
        s.parent_window = -1;
    }
    // A window that had the focus passes it to its owner; until the owner
    // has it, the program still counts as holding it (see window_hide). One
    // without the focus leaves it where it is: asking for the owner then
    // would take the focus from another program.
    if (owner != window && w && ui_had_focus(w, window) && window_activate(owner))
        s.focus_passing = owner;
    else if (ui_find_window(owner))
        s.active = owner;
    delete w.data();
    return 1;
}

// When the window the user works in hides behind a progress popup (a
// transfer hides the main window), the popup takes the focus, so Escape
// still reaches the program. Asked for while we still hold the focus: the
// window manager would refuse it once the focus had gone elsewhere. A
// window not yet mapped only asks once it is, so the popup's mapping is
// waited for, briefly.
static void ui_focus_popup()
{
    for (auto& [number, win] : ui_st().windows) {
        QWidget* popup = win.widget;
        if (!(win.flags & WINDOW_POPUP) || !popup->isVisible())
            continue;
        QWindow* native = popup->windowHandle();
        QElapsedTimer waited;
        waited.start();
        while (native && !native->isExposed() && waited.elapsed() < 300)
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
        if (popup->windowFlags() & Qt::WindowDoesNotAcceptFocus) {
            popup->overrideWindowFlags(popup->windowFlags() & ~Qt::WindowDoesNotAcceptFocus);
            if (native) native->setFlags(popup->windowFlags());
        }
        popup->activateWindow();
        return;
    }
}

int window_hide(int window, int hide)
{
    ui_window* w = ui_find_window(window);
    if (!w)
        return 0;
    if (hide) {
        bool had_focus = ui_had_focus(w->widget, window);
        ui_st().focus_passing = -1;
        if (had_focus && !(w->owner != window && window_activate(w->owner)))
            ui_focus_popup();
        w->widget->hide();
    } else if (w->maximized) {
        w->widget->showMaximized();
    } else {
        w->widget->show();
    }
    return 1;
}

// Raises a toplevel window. The offscreen platform cannot stack windows and
// says so on stderr each time, which buries test and benchmark output.
static void ui_raise(QWidget* widget)
{
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        widget->raise();
}

int window_set_topmost(int window, int on)
{
    ui_window* w = ui_find_window(window);
    if (!w)
        return 0;
    QWidget* widget = w->widget;
    Qt::WindowFlags flags = widget->windowFlags();
    flags.setFlag(Qt::WindowStaysOnTopHint, on != 0);
    if (QWindow* native = widget->windowHandle()) {
        // Told to the window system directly: QWidget::setWindowFlags would
        // hide and re-show the window, a flicker each time the program
        // brings its main window to the front.
        widget->overrideWindowFlags(flags);
        native->setFlags(flags);
    } else {
        widget->setWindowFlags(flags);
    }
    if (on && widget->isVisible())
        ui_raise(widget);
    return 1;
}

int window_resize(int window, int x, int y, int width, int height)
{
    ui_window* w = ui_find_window(window);
    if (!w)
        return 0;
    QWidget* widget = w->widget;
    QPoint place = widget->pos();
    if (x != KEEP || y != KEEP)
        widget->move(x == KEEP ? place.x() : x, y == KEEP ? place.y() : y);
    if (width != KEEP || height != KEEP) {
        int nw = width == KEEP ? widget->width() : width;
        int nh = height == KEEP ? widget->height() : height;
        if (nw < 0 || nh < 0)
            return 1;
        if (w->flags & WINDOW_SIZE_BOX) {
            // The program may fold it below where it opened; the user then
            // may too.
            widget->setMinimumSize(widget->minimumSize().boundedTo(QSize(nw, nh)));
            widget->resize(nw, nh);
        } else {
            widget->setFixedSize(nw, nh);
        }
    }
    return 1;
}

int window_size(int window, int* width, int* height)
{
    ui_window* w = ui_find_window(window);
    if (!w)
        return 0;
    *width = w->widget->width();
    *height = w->widget->height();
    return 1;
}

int window_grow_from(int window, int width, int height)
{
    ui_window* w = ui_find_window(window);
    if (!w || width < 0 || height < 0)
        return 0;
    w->grow_from = QSize(width, height);
    ui_place_grown(*w);
    return 1;
}

int window_position(int window, int* x, int* y)
{
    ui_window* w = ui_find_window(window);
    if (!w)
        return 0;
    *x = w->widget->pos().x();
    *y = w->widget->pos().y();
    return 1;
}

int window_set_state(int window, int state)
{
    ui_window* w = ui_find_window(window);
    if (!w)
        return 0;
    switch (state) {
    case STATE_RESTORE:
        w->maximized = false;
        // A hidden window stays hidden: it is restored for when it shows.
        if (w->widget->isHidden())
            w->widget->setWindowState(Qt::WindowNoState);
        else
            w->widget->showNormal();
        return 1;
    case STATE_MAXIMIZE:
        w->maximized = true;
        w->widget->showMaximized();
        return 1;
    case STATE_MINIMIZE:
        w->widget->showMinimized();
        return 1;
    default:
        return 0;
    }
}

int window_activate(int window)
{
    ui_window* w = ui_find_window(window);
    if (!w)
        return 0;
    ui_raise(w->widget);
    w->widget->activateWindow();
    ui_st().active = window;
    return 1;
}

int window_set_keys(int window, int return_control, int escape_control)
{
    ui_window* w = ui_find_window(window);
    if (!w)
        return 0;
    w->return_control = return_control;
    w->escape_control = escape_control;
    return 1;
}

int ui_set_icon(void* image)
{
    QPixmap p = ui_pixmap(image);
    if (p.isNull() || !ui_st().ready)
        return 0;
    QApplication::setWindowIcon(QIcon(p));
    return 1;
}

int ui_set_program_icon()
{
    if (!ui_st().ready)
        return 0;
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QString(":/icons/jox-%1.png").arg(size), QSize(size, size));
    if (icon.availableSizes().isEmpty())
        return 0;
    QApplication::setWindowIcon(icon);
    // Taskbars match the windows to the desktop entry by this name.
    QGuiApplication::setDesktopFileName("jox");
    return 1;
}

void* window_handle(int window)
{
    ui_window* w = ui_find_window(window);
    return w ? w->widget.data() : nullptr;
}

int controls_begin(void* handle)
{
    ui_state& s = ui_st();
    for (auto& [number, win] : s.windows) {
        if (win.widget && win.widget.data() == handle) {
            s.parent = win.widget.data();
            s.parent_window = number;
            return 1;
        }
    }
    return 0;
}

void controls_end()
{
    ui_state& s = ui_st();
    ui_window* w = ui_find_window(s.parent_window);
    s.parent = w ? w->widget.data() : nullptr;
}

// --- Status bar ---------------------------------------------------------------

namespace {

ui_window* ui_status_window(int number)
{
    if (number != 0)
        return nullptr;
    for (auto& [n, win] : ui_st().windows)
        if (win.widget && win.status)
            return &win;
    return nullptr;
}

}  // namespace

int statusbar_create(int number, void* window_handle)
{
    if (number != 0)
        return 0;
    ui_state& s = ui_st();
    ui_window* target = nullptr;
    for (auto& [n, win] : s.windows)
        if (win.widget && win.widget.data() == window_handle)
            target = &win;
    if (!target)
        return 0;
    // One status bar in the program: creating it again moves it.
    if (ui_window* old = ui_status_window(0)) {
        delete old->status;
        old->status = nullptr;
    }
    auto* bar = new QStatusBar(target->widget);
    bar->setSizeGripEnabled(false);
    bar->setAutoFillBackground(true);
    bar->setStyle(ui_style());
    auto* field = new QFrame(bar);
    field->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    auto* row = new QHBoxLayout(field);
    row->setContentsMargins(2, 0, 2, 0);
    row->setSpacing(3);
    auto* icon = new QLabel(field);
    icon->hide();
    auto* text = new QLabel(field);
    text->setTextFormat(Qt::PlainText);
    // A long text is cut at the window's edge instead of widening the bar.
    text->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    row->addWidget(icon);
    row->addWidget(text, 1);
    bar->addWidget(field, 1);
    target->status = bar;
    target->status_icon = icon;
    target->status_text = text;
    ui_place_status(*target);
    bar->show();
    return 1;
}

int statusbar_set_text(int number, int field, const char* text, int flags)
{
    ui_window* w = ui_status_window(number);
    if (!w || field != 0)
        return 0;
    auto* frame = static_cast<QFrame*>(w->status_text->parentWidget());
    if (flags & STATUS_BORDERLESS)
        frame->setFrameStyle(QFrame::NoFrame);
    else
        frame->setFrameStyle(QFrame::Panel | ((flags & STATUS_RAISED) ? QFrame::Raised : QFrame::Sunken));
    Qt::Alignment align = Qt::AlignLeft;
    if (flags & STATUS_CENTRED)
        align = Qt::AlignHCenter;
    else if (flags & STATUS_RIGHT)
        align = Qt::AlignRight;
    w->status_text->setAlignment(align | Qt::AlignVCenter);
    w->status_text->setText(ui_qs(text));
    // A borderless field is drawn at once, so the text shows even while a
    // handler keeps the loop from polling.
    if (flags & STATUS_BORDERLESS)
        w->status->repaint();
    return 1;
}

int statusbar_set_icon(int number, int field, void* image)
{
    ui_window* w = ui_status_window(number);
    if (!w || field != 0 || !image)
        return 0;
    QPixmap p = ui_pixmap(image);
    if (p.isNull())
        return 0;
    w->status_icon->setPixmap(p);
    w->status_icon->setFixedSize(p.size());
    w->status_icon->show();
    return 1;
}

std::string statusbar_get_text(int number, int field)
{
    ui_window* w = ui_status_window(number);
    if (!w || field != 0)
        return "";
    return ui_bytes(w->status_text->text());
}

// --- Test grab ----------------------------------------------------------------

int ui_test_grab_window(int window, const char* png_path)
{
    ui_window* w = ui_find_window(window);
    if (!w || !png_path)
        return 0;
    return w->widget->grab().save(ui_qs(png_path), "PNG") ? 1 : 0;
}
