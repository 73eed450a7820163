// The six windows as built: every control's kind, rectangle, text and
// initial state, the windows' titles, places, inner sizes and frames, the
// Tab order, the completed "Accept Image?" window, and a PNG of every window
// for a person to look at.
#include "assets.h"
#include "image.h"
#include "layouts.h"
#include "ui_fixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QImage>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>
#include <QWidget>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

QWidget* window_of(int window)
{
    return static_cast<QWidget*>(window_handle(window));
}

struct control_row {
    int control;
    int kind;
    int x, y, w, h;
    const char* text;   // nullptr: not compared (pictures)
    const char* tip;
    int enabled;
    int picture;        // embedded picture shown, -1 none
};

// Picture controls take their picture's size when it is there.
QSize expected_size(const control_row& r)
{
    if (r.kind == KIND_IMAGE && r.picture >= 0 && image_handle(r.picture))
        return QSize(image_width(r.picture), image_height(r.picture));
    return QSize(r.w, r.h);
}

void check_controls(const control_row* rows, std::size_t n)
{
    for (std::size_t i = 0; i < n; i++) {
        const control_row& r = rows[i];
        SCOPED_TRACE(r.control);
        ASSERT_NE(control_handle(r.control), nullptr);
        QWidget* w = widget_of(r.control);
        EXPECT_EQ(control_kind(r.control), r.kind);
        EXPECT_EQ(w->pos(), QPoint(r.x, r.y));
        EXPECT_EQ(w->size(), expected_size(r));
        if (r.text) {
            EXPECT_EQ(control_get_text(r.control), r.text);
        }
        EXPECT_EQ(w->toolTip().toStdString(), r.tip);
        EXPECT_EQ(control_enabled(r.control), r.enabled);
    }
}

// The controls that take the focus, in the order Tab visits them.
std::vector<int> tab_order(int window, const std::vector<int>& controls)
{
    std::vector<int> order;
    QWidget* start = window_of(window);
    QWidget* w = start->nextInFocusChain();
    for (int step = 0; step < 200 && w != start; step++, w = w->nextInFocusChain())
        for (int c : controls)
            if (widget_of(c) == w)
                order.push_back(c);
    return order;
}

using LayoutTest = UiTest;

TEST_F(LayoutTest, MainWindow)
{
    build_main_window();
    QWidget* main = window_of(WINDOW_MAIN);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->windowTitle(), QString("Morlan's File Sender (Build 6000)"));
    EXPECT_EQ(main->pos(), QPoint(389, 185));
    EXPECT_EQ(main->size(), QSize(410, 236));
    Qt::WindowFlags f = main->windowFlags();
    EXPECT_TRUE(f.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_TRUE(f.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(f.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(main->minimumSize(), QSize(410, 236));  // resizable, never smaller than opened
    // jox's own icon at the sizes the desktop entry's comes in, matched to it by name.
    EXPECT_EQ(main->windowIcon().availableSizes(), (QList<QSize>{{16, 16}, {24, 24}, {32, 32}, {48, 48},
                                                                 {64, 64}, {128, 128}, {256, 256}}));
    EXPECT_EQ(QGuiApplication::desktopFileName(), QString("jox"));

    const control_row rows[] = {
        {8, KIND_BUTTON, 251, 82, 66, 20, "&Place Call", "", 1, -1},
        {2, KIND_FRAME, 19, 110, 370, 97, "Tools:", "", 1, -1},
        {11, KIND_FRAME, 18, 216, 370, 109, "Chat:", "", 1, -1},
        {12, KIND_EDITOR, 30, 235, 343, 56, "", "", 1, -1},
        {6, KIND_IMAGE_BUTTON, 32, 129, 80, 68, "", "Send File", 0, 1},
        {4, KIND_IMAGE_BUTTON, 295, 129, 80, 68, "", "Options", 1, 2},
        {0, KIND_STRING, 21, 82, 222, 20, "", "", 1, -1},
        {7, KIND_BUTTON, 321, 82, 70, 20, "Disconnect", "", 0, -1},
        {5, KIND_IMAGE_BUTTON, 206, 129, 80, 68, "", "Received Files", 0, 8},
        {9, KIND_IMAGE_BUTTON, 118, 129, 80, 68, "", "Chat Window", 0, 9},
        {10, KIND_IMAGE, 0, 0, 410, 70, nullptr, "", 1, 0},
        {13, KIND_STRING, 30, 294, 290, 20, "", "", 1, -1},
        {14, KIND_BUTTON, 323, 294, 50, 20, "Send", "", 1, -1},
    };
    check_controls(rows, std::size(rows));
    EXPECT_TRUE(static_cast<QTextEdit*>(widget_of(12))->isReadOnly());

    // At start only these are usable among the buttons and the address field.
    std::vector<int> usable;
    for (int c : {8, 6, 4, 0, 7, 5, 9})
        if (control_enabled(c))
            usable.push_back(c);
    EXPECT_EQ(usable, (std::vector<int>{8, 4, 0}));

    // Tab goes in reading order, from the address field, which has the focus.
    EXPECT_EQ(tab_order(WINDOW_MAIN, {8, 12, 6, 4, 0, 7, 5, 9, 13, 14}),
              (std::vector<int>{0, 8, 7, 6, 9, 5, 4, 12, 13, 14}));
    EXPECT_EQ(main->focusWidget(), widget_of(0));

    // Grown by the user past the size that shows the chat, the room goes to
    // the address field and the chat log; the buttons keep to the right and
    // bottom edges. Folded again, everything is where it was made.
    main->resize(410 + 200, 363 + 100);
    const std::pair<int, QRect> grown[] = {
        {10, {100, 0, 410, 70}}, {0, {21, 82, 422, 20}}, {8, {451, 82, 66, 20}}, {7, {521, 82, 70, 20}},
        {2, {19, 110, 570, 97}}, {6, {32, 129, 80, 68}}, {4, {495, 129, 80, 68}}, {11, {18, 216, 570, 209}},
        {12, {30, 235, 543, 156}}, {13, {30, 394, 490, 20}}, {14, {523, 394, 50, 20}}};
    for (const auto& [control, place] : grown)
        EXPECT_EQ(widget_of(control)->geometry(), place) << "control " << control;
    EXPECT_EQ(window_resize(WINDOW_MAIN, KEEP, KEEP, 410, 233), 1);
    EXPECT_EQ(main->minimumSize(), QSize(410, 233));
    EXPECT_EQ(widget_of(14)->geometry(), QRect(323, 294, 50, 20));
    EXPECT_EQ(widget_of(12)->geometry(), QRect(30, 235, 343, 56));

    // The status bar covers the bottom of the inner area, over the chat frame.
    auto* bar = main->findChild<QStatusBar*>();
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->geometry().bottom(), 232);
    EXPECT_LE(bar->geometry().top(), 216);
    EXPECT_EQ(statusbar_get_text(0, 0), "");
}

TEST_F(LayoutTest, OptionsWindow)
{
    build_options_window();
    QWidget* w = window_of(WINDOW_OPTIONS);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->windowTitle(), QString("Options"));
    EXPECT_EQ(w->size(), QSize(288, 233));
    EXPECT_FALSE(w->windowFlags().testFlag(Qt::WindowCloseButtonHint));
    EXPECT_TRUE(w->windowFlags().testFlag(Qt::WindowTitleHint));
    QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QRect frame = w->frameGeometry();
    EXPECT_LE(std::abs(frame.center().x() - screen.center().x()), 1);
    EXPECT_LE(std::abs(frame.center().y() - screen.center().y()), 1);

    const control_row rows[] = {
        {16, KIND_BUTTON, 220, 194, 60, 30, "OK", "", 1, -1},
        {28, KIND_IMAGE, 262, 2, 24, 24, nullptr, "Open Help File", 1, 7},
        {17, KIND_PANEL, 10, 90, 270, 100, nullptr, "", 1, -1},
        {18, KIND_BUTTON, 38, 22, 180, 30, "Change Default Directory", "", 1, -1},
        {19, KIND_TEXT, 18, 16, 63, 14, "Port Number:", "", 1, -1},
        {20, KIND_STRING, 18, 33, 80, 20, "", "", 1, -1},
        {22, KIND_CHECKBOX, 21, 11, 120, 13, "Scan Files for Viruses", "", 0, -1},
        {23, KIND_BUTTON, 171, 8, 50, 21, "Choose", "", 0, -1},
        {25, KIND_CHECKBOX, 21, 51, 115, 14, "Open File Requester", "", 1, -1},
        {24, KIND_CHECKBOX, 21, 31, 91, 14, "Accept All Files", "", 1, -1},
        {27, KIND_STRING, 18, 32, 130, 20, "Anoynmous", "", 1, -1},
        {26, KIND_TEXT, 18, 15, 81, 15, "Enter Nickname:", "", 1, -1},
        {15, KIND_IMAGE, 30, 10, 144, 47, nullptr, "", 1, 5},
    };
    check_controls(rows, std::size(rows));
    for (int c : {22, 25, 24})
        EXPECT_EQ(control_get_state(c), 0) << c;

    // Each tab's controls sit on that tab's page.
    const struct {
        int tab;
        std::vector<int> controls;
    } pages[] = {{0, {18}}, {1, {19, 20}}, {2, {22, 23, 25, 24}}, {3, {27, 26}}};
    for (const auto& page : pages) {
        QWidget* parent = widget_of(page.controls[0])->parentWidget();
        for (int c : page.controls)
            EXPECT_EQ(widget_of(c)->parentWidget(), parent) << c;
        for (const auto& other : pages)
            if (other.tab != page.tab) {
                EXPECT_NE(widget_of(other.controls[0])->parentWidget(), parent);
            }
    }
    EXPECT_EQ(control_get_state(17), 0);
}

TEST_F(LayoutTest, SmallWindows)
{
    build_main_window();
    window_activate(WINDOW_MAIN);
    QRect main = window_of(WINDOW_MAIN)->frameGeometry();

    build_sending_window();
    build_receiving_window();
    build_wait_window();
    build_accept_image_window("JOX 1.05 build 6000");

    const struct {
        int window;
        const char* title;
        QSize size;
        bool popup;
        int control;
        QPoint at;
        int picture;
    } rows[] = {
        {WINDOW_SENDING, "Sending File...", {219, 25}, true, 21, {0, 0}, 6},
        {WINDOW_RECEIVING, "Receiving File...", {219, 25}, true, 33, {0, 0}, 13},
        {WINDOW_WAIT, "Please Wait...", {164, 47}, true, 34, {1, 1}, 10},
        {WINDOW_ACCEPT_IMAGE, "JOX 1.05 build 6000", {190, 193}, false, 31, {20, 10}, -1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.title);
        QWidget* w = window_of(r.window);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->windowTitle(), QString(r.title));
        EXPECT_EQ(w->size(), r.size);
        EXPECT_EQ(w->windowFlags().testFlag(Qt::FramelessWindowHint), r.popup);
        EXPECT_EQ(widget_of(r.control)->pos(), r.at);
        EXPECT_EQ(control_kind(r.control), r.picture >= 0 ? KIND_IMAGE : KIND_TEXT);
    }
    EXPECT_EQ(window_of(WINDOW_SENDING)->pos(), QPoint(5, 5));
    EXPECT_EQ(window_of(WINDOW_RECEIVING)->pos(), QPoint(5, 5));
    EXPECT_EQ(control_get_text(31), "Accept Image?");
    // The wait window is centred over the window that was active.
    QPoint centre = window_of(WINDOW_WAIT)->frameGeometry().center();
    EXPECT_LE(std::abs(centre.x() - main.center().x()), 1);
    EXPECT_LE(std::abs(centre.y() - main.center().y()), 1);
}

// A picture made here, so the test needs nothing from the decoders.
struct test_picture {
    Image image;
    std::vector<unsigned char> pixels;
    test_picture(int w, int h) : image{w, h, 32, nullptr}, pixels(static_cast<std::size_t>(w) * h * 4)
    {
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                unsigned char* p = &pixels[(static_cast<std::size_t>(y) * w + x) * 4];
                p[0] = static_cast<unsigned char>(x * 255 / w);
                p[1] = static_cast<unsigned char>(y * 255 / h);
                p[2] = 160;
                p[3] = 255;
            }
        image.pixels = pixels.data();
    }
};

// What the image-offer handler does after the builder.
void complete_accept_image(Image* preview)
{
    int w = preview->width, h = preview->height;
    control_image(15, 95 - w / 2, 25, 144, 47, preview, IMAGE_SUNKEN);
    control_button(29, 100, h + 35, 70, 24, "&No");
    control_button(30, 20, h + 35, 70, 24, "&Yes");
    window_resize(WINDOW_ACCEPT_IMAGE, KEEP, KEEP, KEEP, h + 65);
}

TEST_F(LayoutTest, AcceptImageCompletedForAPreview)
{
    test_picture preview(144, 47);
    build_main_window();
    build_accept_image_window("JOX 1.05 build 6000");
    QPoint place = window_of(WINDOW_ACCEPT_IMAGE)->pos();
    complete_accept_image(&preview.image);
    EXPECT_EQ(widget_of(15)->pos(), QPoint(23, 25));
    EXPECT_EQ(widget_of(29)->pos(), QPoint(100, 82));
    EXPECT_EQ(widget_of(30)->pos(), QPoint(20, 82));
    EXPECT_EQ(control_get_text(30), "&Yes");
    EXPECT_EQ(window_of(WINDOW_ACCEPT_IMAGE)->size(), QSize(190, 112));
    EXPECT_EQ(window_of(WINDOW_ACCEPT_IMAGE)->pos(), place);
    // Number 15 moved from nothing to this window; the options banner is
    // never up at the same time.
    EXPECT_EQ(widget_of(15)->window(), window_of(WINDOW_ACCEPT_IMAGE));
}

TEST_F(LayoutTest, ScreenshotsOfEveryWindow)
{
    image_register_codecs();
    for (int n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 13}) {
        EmbeddedPicture p = asset_picture(n);
        EXPECT_NE(image_catch(n, p.data, p.size), 0) << "picture " << n;
    }
    std::string dir = JOX_SCREENSHOTS;
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(dir)));
    auto shot = [&](int window, const char* name) {
        std::string path = dir + "/" + name;
        EXPECT_NE(ui_test_grab_window(window, path.c_str()), 0) << name;
        EXPECT_TRUE(QImage(QString::fromStdString(path)).size() == window_of(window)->size()) << name;
    };

    build_main_window();
    statusbar_set_icon(0, 0, image_handle(3));
    statusbar_set_text(0, 0, "Ready to Make/Receive Calls.", STATUS_BORDERLESS);
    shot(WINDOW_MAIN, "main.png");
    for (int i = 1; i <= 13; i++)
        window_resize(WINDOW_MAIN, KEEP, KEEP, KEEP, 233 + 10 * i);
    control_add_item(12, -1, "Alice: hello");
    control_add_item(12, -1, "Bob: hi there");
    statusbar_set_icon(0, 0, image_handle(4));
    statusbar_set_text(0, 0, "Connected. Received Message from User.", STATUS_BORDERLESS);
    shot(WINDOW_MAIN, "main_chat.png");

    build_options_window();
    control_set_text(20, "6843");
    control_set_text(27, "Alice");
    const char* tabs[] = {"options_folder.png", "options_network.png", "options_security.png", "options_user.png"};
    for (int tab = 0; tab < 4; tab++) {
        control_set_state(17, tab);
        shot(WINDOW_OPTIONS, tabs[tab]);
    }
    window_close(WINDOW_OPTIONS);

    build_sending_window();
    shot(WINDOW_SENDING, "sending.png");
    build_receiving_window();
    shot(WINDOW_RECEIVING, "receiving.png");
    build_wait_window();
    shot(WINDOW_WAIT, "wait.png");

    test_picture preview(150, 100);
    build_accept_image_window("JOX 1.05 build 6000");
    complete_accept_image(&preview.image);
    shot(WINDOW_ACCEPT_IMAGE, "accept_image.png");
}

}  // namespace

// Ways out that need no keyboard focus, keys that act as a window's buttons,
// and a thin bar that shows its first percent.
TEST_F(LayoutTest, StripCancelDialogKeysAndThinProgress)
{
    build_main_window();
    EXPECT_FALSE(QApplication::windowIcon().isNull()) << "no window icon";
    window_activate(WINDOW_MAIN);
    build_sending_window();
    build_receiving_window();
    const struct { int window, cancel; } strips[] = {
        {WINDOW_SENDING, CONTROL_SENDING_CANCEL}, {WINDOW_RECEIVING, CONTROL_RECEIVING_CANCEL}};
    for (const auto& r : strips) {
        SCOPED_TRACE(r.window);
        ASSERT_NE(widget_of(r.cancel), nullptr);
        EXPECT_EQ(widget_of(r.cancel)->geometry(), QRect(199, 4, 17, 17));
        ui_abandon_requested(r.window);
        QTest::mouseClick(widget_of(r.cancel), Qt::LeftButton);
        EXPECT_EQ(ui_abandon_requested(r.window), 1);
    }

    controls_begin(window_handle(WINDOW_SENDING));
    control_progress(35, 114, 16, 80, 5);
    control_set_value(35, 10);
    QImage bar = widget_of(35)->grab().toImage();
    QColor fill = widget_of(35)->palette().color(QPalette::Highlight);
    EXPECT_EQ(bar.pixelColor(1, 2), fill) << "1 % shows nothing";
    EXPECT_NE(bar.pixelColor(3, 2), fill) << "1 % fills more than its share";

    build_options_window();
    build_accept_image_window("JOX 1.05 build 6000");
    control_button(29, 100, 82, 70, 24, "&No");
    control_button(30, 20, 82, 70, 24, "&Yes");
    const struct { int focus; Qt::Key key; int clicked; } keys[] = {
        {20, Qt::Key_Return, 16}, {27, Qt::Key_Enter, 16}, {29, Qt::Key_Return, 29},
        {31, Qt::Key_Return, 30}, {31, Qt::Key_Escape, 29}};
    for (const auto& r : keys) {
        SCOPED_TRACE(r.focus);
        QApplication::setActiveWindow(widget_of(r.focus)->window());
        widget_of(r.focus)->setFocus();
        drain_events();
        // The button Return presses is the one drawn as the default.
        if (r.key != Qt::Key_Escape) {
            auto* pressed = qobject_cast<QPushButton*>(widget_of(r.clicked));
            ASSERT_NE(pressed, nullptr);
            EXPECT_TRUE(pressed->isDefault());
        }
        QTest::keyClick(widget_of(r.focus), r.key);
        EXPECT_EQ(count_control(drain_input_events(), r.clicked, TYPE_CLICK), 1);
    }
}
