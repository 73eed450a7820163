// Numbered controls over Qt widgets: creation of each kind, the operations on
// them, and the wiring that turns their notifications into FIFO entries.
//
// Every control is a leaf widget (or a QTabWidget for the tab panel), placed
// at an absolute rectangle in its parent. Key presses that reach a control
// come back to the application as raw key messages, queued before the
// control acts on them, so a key is always reported before the change it
// makes.
//
// Index: helpers shared by the toolkit files; the image control widget;
// creation of each kind; operations on existing controls.
#include "toolkit_qt.h"

#include <QApplication>
#include <QCheckBox>
#include <QFocusEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QToolTip>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolTip>
#include <QValidator>

namespace {

// Reports key presses and, on string fields, focus changes of one control.
// The button Return presses in `window` is drawn as its default: the focused
// button, or else the window's Return control.
void ui_show_default(int window, QPushButton* focused)
{
    ui_window* w = ui_find_window(window);
    if (!w || w->return_control < 0)
        return;
    ui_control* r = ui_find_control(w->return_control);
    QPushButton* pressed = focused ? focused : r ? qobject_cast<QPushButton*>(r->widget.data()) : nullptr;
    for (auto& [number, c] : ui_st().controls)
        if (c.window == window)
            if (auto* b = qobject_cast<QPushButton*>(c.widget.data()))
                b->setDefault(b == pressed);
}

class ui_control_filter : public QObject {
public:
    ui_control_filter(int control, QObject* parent) : QObject(parent), control_(control) {}
    bool eventFilter(QObject* obj, QEvent* e) override
    {
        // A widget on its way out (its number already given to another, or
        // its window closing) reports nothing more.
        ui_control* c = ui_find_control(control_);
        if (!c || c->widget.data() != obj)
            return false;
        switch (e->type()) {
        case QEvent::KeyPress: {
            auto* k = static_cast<QKeyEvent*>(e);
            QWidget* w = c->widget;
            // A key the focused control leaves alone travels on to its
            // parents; the tab panel holding it must not report it again.
            if (!w->hasFocus())
                break;
            // Tab and Shift+Tab only move the focus, as in any dialog.
            if (k->key() == Qt::Key_Tab || k->key() == Qt::Key_Backtab)
                break;
            int code = ui_key_code(k->key(), k->text());
            if (code)
                ui_queue_key(code, w);
            break;
        }
        case QEvent::FocusIn:
            if (c->kind == KIND_STRING)
                ui_queue_control_event(control_, TYPE_FOCUS);
            ui_show_default(c->window, qobject_cast<QPushButton*>(c->widget.data()));
            break;
        case QEvent::FocusOut:
            if (c->kind == KIND_STRING)
                ui_queue_control_event(control_, TYPE_LOST_FOCUS);
            break;
        default:
            break;
        }
        return false;
    }
private:
    int control_;
};

// A thin bar drawn flat: platform styles round off or pad a bar a few
// pixels high until the first tenth of it shows nothing at all. Any progress
// fills at least one column.
class ui_progress_bar : public QProgressBar {
public:
    using QProgressBar::QProgressBar;
protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        QRect inner = rect().adjusted(1, 1, -1, -1);
        p.fillRect(rect(), palette().color(QPalette::Mid));
        p.fillRect(inner, palette().color(QPalette::Base));
        int span = maximum() - minimum();
        int done = value() - minimum();
        if (span <= 0 || done <= 0 || inner.width() <= 0)
            return;
        int w = qMax(1, int(qint64(inner.width()) * done / span));
        p.fillRect(inner.x(), inner.y(), w, inner.height(), palette().color(QPalette::Highlight));
    }
};

// Cuts `text` to at most `bytes` UTF-8 bytes without splitting a character.
QString ui_cut_bytes(const QString& text, int bytes)
{
    QString out = text;
    while (!out.isEmpty() && out.toUtf8().size() > bytes)
        out.chop(out.size() >= 2 && out.at(out.size() - 1).isLowSurrogate() ? 2 : 1);
    return out;
}

// Keeps a string field within its limit in UTF-8 bytes; text that would go
// beyond it (a paste) is cut at a character boundary rather than refused.
class ui_byte_limit : public QValidator {
public:
    ui_byte_limit(int bytes, const QString& note, QLineEdit* parent)
        : QValidator(parent), bytes_(bytes), note_(note), edit_(parent) {}
    State validate(QString& input, int& pos) const override
    {
        if (input.toUtf8().size() <= bytes_)
            return Acceptable;
        input = ui_cut_bytes(input, bytes_);
        if (pos > input.size())
            pos = static_cast<int>(input.size());
        // What did not fit is said, not dropped in silence.
        if (!note_.isEmpty())
            QToolTip::showText(edit_->mapToGlobal(QPoint(0, edit_->height())), note_, edit_);
        return Acceptable;
    }
private:
    int bytes_;
    QString note_;
    QLineEdit* edit_;
};

QColor ui_colour(int bbggrr)
{
    return QColor(bbggrr & 0xFF, (bbggrr >> 8) & 0xFF, (bbggrr >> 16) & 0xFF);
}

// Creates the table entry for a new control, freeing an older one with the
// same number first, and places the widget.
QWidget* ui_add_control(int control, int kind, QWidget* w, int x, int y, int width, int height)
{
    ui_state& s = ui_st();
    w->setGeometry(x, y, width, height);
    w->installEventFilter(new ui_control_filter(control, w));
    s.controls[control] = ui_control{w, kind, s.parent_window, -1, -1, false, 0};
    w->show();
    // The window's Return button is drawn as its default from the start.
    ui_window* win = ui_find_window(s.parent_window);
    if (auto* b = qobject_cast<QPushButton*>(w); b && win && win->return_control == control)
        ui_show_default(s.parent_window, nullptr);
    return w;
}

// The parent for a new control, after freeing any control under `control`.
QWidget* ui_new_parent(int control)
{
    ui_state& s = ui_st();
    if (!s.ready || control < 0)
        return nullptr;
    auto it = s.controls.find(control);
    if (it != s.controls.end()) {
        QWidget* old = it->second.widget.data();
        s.controls.erase(it);
        delete old;
    }
    return s.parent;
}

// Applies the stored colours to a string field or the editor.
void ui_apply_colours(ui_control& c)
{
    QWidget* w = c.widget;
    QPalette p = w->parentWidget() ? w->parentWidget()->palette() : QPalette();
    if (c.text_color != -1)
        p.setColor(QPalette::Text, ui_colour(c.text_color));
    if (c.back_color != -1)
        p.setColor(QPalette::Base, ui_colour(c.back_color));
    w->setPalette(p);
}

int ui_line_count(QTextEdit* e)
{
    return e->document()->blockCount();
}

}  // namespace

// --- Helpers shared by the toolkit files --------------------------------------

QString ui_title(const char* text)
{
    QString t = ui_qs(text);
    t.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
    return t;
}

bool ui_in_sight(QWidget* w)
{
    QWidget* top = w ? w->window() : nullptr;
    if (!top || w == top || !w->isEnabled() || !w->isVisibleTo(top))
        return false;
    QRect r = w->rect();
    for (QWidget* p = w; p != top; p = p->parentWidget()) {
        r.translate(p->pos());
        r &= p->parentWidget()->rect();
    }
    if (auto* win = dynamic_cast<ui_window_widget*>(top)) {
        ui_window* entry = ui_find_window(win->number);
        if (entry && entry->status && entry->status->isVisible())
            r &= QRect(0, 0, top->width(), entry->status->y());
    }
    return !r.isEmpty();
}

bool ui_window_widget::focusNextPrevChild(bool next)
{
    QWidget* start = QApplication::focusWidget();
    if (!start || start->window() != this)
        start = this;
    QWidget* w = start;
    // Bounded by the chain's length; the chain is a ring through the window.
    for (int i = 0; i < 10000; i++) {
        w = next ? w->nextInFocusChain() : w->previousInFocusChain();
        if (!w || w == start)
            break;
        if ((w->focusPolicy() & Qt::TabFocus) && !w->focusProxy() && ui_in_sight(w)) {
            w->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
            return true;
        }
    }
    return false;
}

ui_control* ui_find_control(int control)
{
    auto& controls = ui_st().controls;
    auto it = controls.find(control);
    if (it == controls.end() || !it->second.widget)
        return nullptr;
    return &it->second;
}

void ui_forget_controls(int window)
{
    auto& controls = ui_st().controls;
    for (auto it = controls.begin(); it != controls.end();) {
        if (it->second.window == window)
            it = controls.erase(it);
        else
            ++it;
    }
}

int ui_key_code(int qt_key, const QString& text)
{
    switch (qt_key) {
    case Qt::Key_Return:
    case Qt::Key_Enter: return 13;
    case Qt::Key_Escape: return 27;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return 9;
    case Qt::Key_Backspace: return 8;
    case Qt::Key_Space: return 32;
    case Qt::Key_Delete: return 46;
    case Qt::Key_Left: return 37;
    case Qt::Key_Up: return 38;
    case Qt::Key_Right: return 39;
    case Qt::Key_Down: return 40;
    case Qt::Key_Shift: return 16;
    case Qt::Key_Control: return 17;
    case Qt::Key_Alt: return 18;
    case Qt::Key_PageUp: return 33;
    case Qt::Key_PageDown: return 34;
    case Qt::Key_End: return 35;
    case Qt::Key_Home: return 36;
    case Qt::Key_Insert: return 45;
    default: break;
    }
    if ((qt_key >= Qt::Key_0 && qt_key <= Qt::Key_9) || (qt_key >= Qt::Key_A && qt_key <= Qt::Key_Z))
        return qt_key;
    if (qt_key >= Qt::Key_F1 && qt_key <= Qt::Key_F24)
        return 112 + (qt_key - Qt::Key_F1);
    if (qt_key < Qt::Key_Escape && !text.isEmpty())
        return text.at(0).unicode();
    // Any other special key: a code of its own that no caller mistakes for
    // Return.
    return 255;
}

// --- Image control widget -------------------------------------------------------

ui_image_label::ui_image_label(int c, QWidget* parent) : QLabel(parent), control(c) {}

void ui_image_label::mouseReleaseEvent(QMouseEvent* e)
{
    bool ends_double = in_double_click;
    in_double_click = false;
    if (!ends_double && rect().contains(e->position().toPoint())) {
        if (e->button() == Qt::LeftButton)
            ui_queue_control_event(control, TYPE_CLICK);
        else if (e->button() == Qt::RightButton)
            ui_queue_control_event(control, TYPE_RIGHT_CLICK);
    }
    QLabel::mouseReleaseEvent(e);
}

void ui_image_label::mouseDoubleClickEvent(QMouseEvent* e)
{
    in_double_click = true;
    if (e->button() == Qt::LeftButton)
        ui_queue_control_event(control, TYPE_LEFT_DOUBLE_CLICK);
    else if (e->button() == Qt::RightButton)
        ui_queue_control_event(control, TYPE_RIGHT_DOUBLE_CLICK);
    QLabel::mouseDoubleClickEvent(e);
}

// --- Creation -------------------------------------------------------------------

int control_image(int control, int x, int y, int w, int h, void* image, unsigned flags)
{
    QWidget* parent = ui_new_parent(control);
    if (!parent)
        return 0;
    auto* label = new ui_image_label(control, parent);
    label->setTextFormat(Qt::PlainText);
    int edge = 0;
    if (flags & IMAGE_SUNKEN) {
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setLineWidth(2);
        edge = 2;
    }
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPixmap p = ui_pixmap(image);
    if (!p.isNull()) {
        // A picture control takes the size of its picture, whatever size the
        // caller named: layouts centre pictures by their own size.
        label->setPixmap(p);
        w = p.width() + 2 * edge;
        h = p.height() + 2 * edge;
    }
    ui_add_control(control, KIND_IMAGE, label, x, y, w, h);
    return 1;
}

int control_image_button(int control, int x, int y, int w, int h, void* image)
{
    QWidget* parent = ui_new_parent(control);
    if (!parent)
        return 0;
    auto* button = new QPushButton(parent);
    QPixmap p = ui_pixmap(image);
    if (!p.isNull()) {
        button->setIcon(QIcon(p));
        button->setIconSize(p.size());
    }
    QObject::connect(button, &QPushButton::clicked, [control] { ui_queue_control_event(control, TYPE_CLICK); });
    ui_add_control(control, KIND_IMAGE_BUTTON, button, x, y, w, h);
    return 1;
}

int control_button(int control, int x, int y, int w, int h, const char* caption)
{
    QWidget* parent = ui_new_parent(control);
    if (!parent)
        return 0;
    auto* button = new QPushButton(ui_qs(caption), parent);
    button->setAutoDefault(false);
    QObject::connect(button, &QPushButton::clicked, [control] { ui_queue_control_event(control, TYPE_CLICK); });
    ui_add_control(control, KIND_BUTTON, button, x, y, w, h);
    return 1;
}

int control_frame(int control, int x, int y, int w, int h, const char* caption)
{
    QWidget* parent = ui_new_parent(control);
    if (!parent)
        return 0;
    auto* box = new QGroupBox(ui_qs(caption), parent);
    box->setFocusPolicy(Qt::NoFocus);
    ui_add_control(control, KIND_FRAME, box, x, y, w, h);
    // Frames are drawn behind the controls created before them.
    box->lower();
    return 1;
}

int control_string(int control, int x, int y, int w, int h, const char* text, unsigned)
{
    QWidget* parent = ui_new_parent(control);
    if (!parent)
        return 0;
    auto* edit = new QLineEdit(ui_qs(text), parent);
    QObject::connect(edit, &QLineEdit::textChanged, [control] { ui_queue_control_event(control, TYPE_CHANGE); });
    ui_add_control(control, KIND_STRING, edit, x, y, w, h);
    return 1;
}

int control_text(int control, int x, int y, int w, int h, const char* text, unsigned)
{
    QWidget* parent = ui_new_parent(control);
    if (!parent)
        return 0;
    auto* label = new QLabel(parent);
    // Texts are data (a peer's nickname, an offered file name), never markup.
    label->setTextFormat(Qt::PlainText);
    label->setText(ui_qs(text));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    ui_add_control(control, KIND_TEXT, label, x, y, w, h);
    return 1;
}

int control_checkbox(int control, int x, int y, int w, int h, const char* caption)
{
    QWidget* parent = ui_new_parent(control);
    if (!parent)
        return 0;
    auto* box = new QCheckBox(ui_qs(caption), parent);
    box->setStyle(ui_style());
    QObject::connect(box, &QCheckBox::clicked, [control] { ui_queue_control_event(control, TYPE_CLICK); });
    ui_add_control(control, KIND_CHECKBOX, box, x, y, w, h);
    return 1;
}

int control_editor(int control, int x, int y, int w, int h, unsigned flags)
{
    QWidget* parent = ui_new_parent(control);
    if (!parent)
        return 0;
    auto* editor = new QTextEdit(parent);
    editor->setAcceptRichText(false);
    // Long lines wrap, even without spaces: a log scrolled sideways shows
    // later lines only by their last letters.
    editor->setLineWrapMode(QTextEdit::WidgetWidth);
    editor->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    editor->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    editor->setReadOnly(flags & EDITOR_READONLY);
    // Read-only still takes the focus, so the log can be selected and copied.
    editor->setTextInteractionFlags(editor->textInteractionFlags() | Qt::TextSelectableByKeyboard);
    editor->setFocusPolicy(Qt::StrongFocus);
    ui_add_control(control, KIND_EDITOR, editor, x, y, w, h);
    return 1;
}

int control_panel(int control, int x, int y, int w, int h)
{
    QWidget* parent = ui_new_parent(control);
    if (!parent)
        return 0;
    auto* tabs = new QTabWidget(parent);
    ui_add_control(control, KIND_PANEL, tabs, x, y, w, h);
    return 1;
}

int control_progress(int control, int x, int y, int w, int h)
{
    QWidget* parent = ui_new_parent(control);
    if (!parent)
        return 0;
    auto* bar = new ui_progress_bar(parent);
    bar->setRange(0, 1000);
    bar->setValue(0);
    bar->setTextVisible(false);
    ui_add_control(control, KIND_PROGRESS, bar, x, y, w, h);
    return 1;
}

int control_tooltip(int control, const char* text)
{
    ui_control* c = ui_find_control(control);
    if (!c)
        return 0;
    // Qt takes any tip that looks like markup for rich text; escaped, it
    // shows literally.
    QString tip = ui_qs(text);
    c->widget->setToolTip(Qt::mightBeRichText(tip) ? Qt::convertFromPlainText(tip, Qt::WhiteSpaceNormal) : tip);
    return 1;
}

int control_set_value(int control, int value)
{
    ui_control* c = ui_find_control(control);
    if (!c || c->kind != KIND_PROGRESS)
        return 0;
    static_cast<QProgressBar*>(c->widget.data())->setValue(value < 0 ? 0 : value > 1000 ? 1000 : value);
    return 1;
}

// --- Operations -------------------------------------------------------------------

int control_disable(int control, int state)
{
    ui_control* c = ui_find_control(control);
    if (!c)
        return 0;
    c->widget->setEnabled(state == 0);
    return 1;
}

int control_show(int control, int shown)
{
    ui_control* c = ui_find_control(control);
    if (!c)
        return 0;
    c->widget->setVisible(shown != 0);
    return 1;
}

int control_set_text(int control, const char* text)
{
    ui_control* c = ui_find_control(control);
    if (!c)
        return 0;
    QString t = ui_qs(text);
    QWidget* w = c->widget;
    switch (c->kind) {
    case KIND_STRING: {
        auto* edit = static_cast<QLineEdit*>(w);
        if (c->limit > 0)
            t = ui_cut_bytes(t, c->limit);
        // Exactly one change event per call, whether or not Qt would see a
        // difference in the text.
        edit->blockSignals(true);
        edit->setText(t);
        edit->blockSignals(false);
        ui_queue_control_event(control, TYPE_CHANGE);
        return 1;
    }
    case KIND_EDITOR: {
        auto* editor = static_cast<QTextEdit*>(w);
        editor->setPlainText(t);
        c->has_lines = !t.isEmpty();
        return 1;
    }
    case KIND_BUTTON:
    case KIND_IMAGE_BUTTON: static_cast<QPushButton*>(w)->setText(t); return 1;
    case KIND_CHECKBOX: static_cast<QCheckBox*>(w)->setText(t); return 1;
    case KIND_FRAME: static_cast<QGroupBox*>(w)->setTitle(t); return 1;
    case KIND_TEXT: static_cast<QLabel*>(w)->setText(t); return 1;
    default: w->setWindowTitle(ui_title(text)); return 1;
    }
}

std::string control_get_text(int control)
{
    ui_control* c = ui_find_control(control);
    if (!c)
        return "";
    QWidget* w = c->widget;
    switch (c->kind) {
    case KIND_STRING: return ui_bytes(static_cast<QLineEdit*>(w)->text());
    case KIND_EDITOR: return ui_bytes(static_cast<QTextEdit*>(w)->toPlainText());
    case KIND_BUTTON:
    case KIND_IMAGE_BUTTON: return ui_bytes(static_cast<QPushButton*>(w)->text());
    case KIND_CHECKBOX: return ui_bytes(static_cast<QCheckBox*>(w)->text());
    case KIND_FRAME: return ui_bytes(static_cast<QGroupBox*>(w)->title());
    case KIND_TEXT: return ui_bytes(static_cast<QLabel*>(w)->text());
    default: return ui_bytes(w->windowTitle());
    }
}

int control_add_item(int control, int position, const char* text)
{
    ui_control* c = ui_find_control(control);
    if (!c)
        return 0;
    if (c->kind == KIND_PANEL) {
        auto* tabs = static_cast<QTabWidget*>(c->widget.data());
        auto* page = new QWidget;
        page->setAutoFillBackground(false);
        tabs->insertTab(position < 0 ? tabs->count() : position, page, ui_qs(text));
        ui_st().parent = page;
        return 1;
    }
    if (c->kind != KIND_EDITOR)
        return 0;
    auto* editor = static_cast<QTextEdit*>(c->widget.data());
    QTextDocument* doc = editor->document();
    int lines = c->has_lines ? ui_line_count(editor) : 0;
    QTextCursor cursor(doc);
    QString t = ui_qs(text);
    if (position < 0 || position >= lines) {
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(c->has_lines ? QStringLiteral("\n") + t : t);
    } else {
        cursor = QTextCursor(doc->findBlockByNumber(position));
        cursor.insertText(t + QStringLiteral("\n"));
        cursor.movePosition(QTextCursor::Left);
    }
    c->has_lines = true;
    editor->setTextCursor(cursor);
    editor->ensureCursorVisible();
    // The newest line stays in view even while the log is folded away and
    // Qt cannot lay it out yet.
    if (position < 0 || position >= lines)
        editor->verticalScrollBar()->setValue(editor->verticalScrollBar()->maximum());
    return 1;
}

int control_clear_items(int control)
{
    ui_control* c = ui_find_control(control);
    if (!c || c->kind != KIND_EDITOR)
        return 0;
    static_cast<QTextEdit*>(c->widget.data())->clear();
    c->has_lines = false;
    return 1;
}

int control_set_color(int control, int kind, int color)
{
    ui_control* c = ui_find_control(control);
    if (!c || (c->kind != KIND_EDITOR && c->kind != KIND_STRING))
        return 0;
    if (kind == COLOR_TEXT)
        c->text_color = color;
    else if (kind == COLOR_BACKGROUND)
        c->back_color = color;
    else
        return 0;
    ui_apply_colours(*c);
    return 1;
}

int control_set_state(int control, int value)
{
    ui_control* c = ui_find_control(control);
    if (!c)
        return 0;
    if (c->kind == KIND_CHECKBOX) {
        static_cast<QCheckBox*>(c->widget.data())->setChecked(value != 0);
        return 1;
    }
    if (c->kind == KIND_PANEL) {
        auto* tabs = static_cast<QTabWidget*>(c->widget.data());
        if (value < 0 || value >= tabs->count())
            return 0;
        tabs->setCurrentIndex(value);
        return 1;
    }
    return 0;
}

int control_get_state(int control)
{
    ui_control* c = ui_find_control(control);
    if (!c)
        return 0;
    if (c->kind == KIND_CHECKBOX)
        return static_cast<QCheckBox*>(c->widget.data())->isChecked() ? 1 : 0;
    if (c->kind == KIND_PANEL)
        return static_cast<QTabWidget*>(c->widget.data())->currentIndex();
    return 0;
}

int control_set_limit(int control, int bytes, const char* note)
{
    ui_control* c = ui_find_control(control);
    if (c && c->kind == KIND_EDITOR && bytes >= 0) {
        // A log keeps its newest lines: the oldest go once there are more.
        static_cast<QTextEdit*>(c->widget.data())->document()->setMaximumBlockCount(bytes);
        return 1;
    }
    if (!c || c->kind != KIND_STRING || bytes < 0)
        return 0;
    auto* edit = static_cast<QLineEdit*>(c->widget.data());
    const QValidator* old = edit->validator();
    c->limit = bytes;
    edit->setValidator(bytes > 0 ? new ui_byte_limit(bytes, QString::fromUtf8(note ? note : ""), edit) : nullptr);
    delete old;
    if (bytes > 0 && edit->text().toUtf8().size() > bytes)
        control_set_text(control, ui_bytes(ui_cut_bytes(edit->text(), bytes)).c_str());
    return 1;
}

void* control_handle(int control)
{
    ui_control* c = ui_find_control(control);
    return c ? c->widget.data() : nullptr;
}

int control_grow(int control, unsigned how)
{
    ui_control* c = ui_find_control(control);
    ui_window* w = c ? ui_find_window(c->window) : nullptr;
    if (!w)
        return 0;
    c->grow = how;
    // Made or given its growth in a window grown already: its place without
    // that growth.
    const QSize growth = ui_growth(*w);
    c->base = ui_grown(c->widget->geometry(), how, QSize(-growth.width(), -growth.height()));
    ui_place_grown(*w);
    return 1;
}

int control_kind(int control)
{
    ui_control* c = ui_find_control(control);
    return c ? c->kind : 0;
}

int control_enabled(int control)
{
    ui_control* c = ui_find_control(control);
    if (!c)
        return 0;
    return c->widget->isEnabledTo(c->widget->window()) ? 1 : 0;
}

int control_focus(int control)
{
    ui_control* c = ui_find_control(control);
    if (!c || !c->widget)
        return 0;
    c->widget->setFocus(Qt::OtherFocusReason);
    ui_show_default(c->window, qobject_cast<QPushButton*>(c->widget.data()));
    return 1;
}

int control_set_tab_order(const int* controls, int count)
{
    int set = 0;
    for (int i = 0; i + 1 < count; ++i) {
        ui_control* a = ui_find_control(controls[i]);
        ui_control* b = ui_find_control(controls[i + 1]);
        if (!a || !b || !a->widget || !b->widget)
            continue;
        QWidget::setTabOrder(a->widget, b->widget);
        ++set;
    }
    return set;
}
