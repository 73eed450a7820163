// Control operations with their edges: the chat log's line rules, colours,
// disabling, tab pages, the byte limit of string fields, window_resize with
// KEEP, and the status bar field.
#include "layouts.h"
#include "ui_fixture.h"

#include <QLineEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QStatusBar>
#include <QTest>
#include <QToolTip>
#include <QTextEdit>
#include <QWidget>

namespace {

class ControlTest : public UiTest {
protected:
    void SetUp() override
    {
        UiTest::SetUp();
        ASSERT_NE(window_open(7, 10, 10, 300, 200, "controls", WINDOW_TITLE), 0);
        controls_begin(window_handle(7));
        control_editor(50, 0, 0, 200, 100, EDITOR_READONLY);
        control_string(51, 0, 110, 200, 20, "", 0);
        drain_events();
    }
};

TEST_F(ControlTest, EditorLines)
{
    struct {
        const char* name;
        std::vector<std::pair<int, const char*>> adds;  // position, text
        const char* expected;
    } rows[] = {
        {"append to empty", {{-1, "one"}}, "one"},
        {"append after a line", {{-1, "one"}, {-1, "two"}}, "one\ntwo"},
        {"empty first line pushes the next to line two", {{-1, ""}, {-1, "x"}}, "\nx"},
        {"beyond the last line appends", {{-1, "one"}, {5, "two"}}, "one\ntwo"},
        {"insert before line 0", {{-1, "one"}, {-1, "two"}, {0, "zero"}}, "zero\none\ntwo"},
        {"insert before line 1", {{-1, "one"}, {-1, "two"}, {1, "mid"}}, "one\nmid\ntwo"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        control_clear_items(50);
        EXPECT_EQ(control_get_text(50), "");
        for (const auto& [position, text] : row.adds)
            EXPECT_EQ(control_add_item(50, position, text), 1);
        EXPECT_EQ(control_get_text(50), row.expected);
    }
    // A bounded log keeps its newest lines however many arrive.
    control_clear_items(50);
    EXPECT_EQ(control_set_limit(50, 3), 1);
    for (const char* line : {"1", "2", "3", "4", "5"}) control_add_item(50, -1, line);
    EXPECT_EQ(control_get_text(50), "3\n4\n5");
    control_set_limit(50, 0);
    // An empty text clears, and the next line starts at the top again.
    control_set_text(50, "");
    control_add_item(50, -1, "again");
    EXPECT_EQ(control_get_text(50), "again");
    // The caret ends behind the appended text, so the log follows it.
    control_add_item(50, -1, "last");
    auto* editor = static_cast<QTextEdit*>(widget_of(50));
    EXPECT_EQ(editor->textCursor().position(), static_cast<int>(QString("again\nlast").size()));
}

// After a long line the log must not stay scrolled sideways: the newest
// line is in view from its start.
TEST_F(ControlTest, ChatLogWrapsAndFollowsTheNewestLine)
{
    auto* editor = static_cast<QTextEdit*>(widget_of(50));
    std::string words;
    for (int i = 0; i < 37; i++)
        words += "word, ";
    for (const std::string& line : {std::string(222, 'w'), words}) {
        for (int before : {0, 12}) {
            control_clear_items(50);
            for (int i = 0; i < before; i++)
                control_add_item(50, -1, "short line");
            control_add_item(50, -1, line.c_str());
            control_add_item(50, -1, "newest");
            QCoreApplication::processEvents();
            QRect newest = editor->cursorRect(QTextCursor(editor->document()->lastBlock()));
            EXPECT_TRUE(editor->viewport()->rect().contains(newest)) << before << " " << line;
        }
    }
}

TEST_F(ControlTest, EditorColoursAreRedInTheLowByte)
{
    auto* editor = static_cast<QTextEdit*>(widget_of(50));
    QColor normal = editor->palette().color(QPalette::Text);
    control_add_item(50, -1, "old line");
    struct {
        int kind;
        int colour;
        QPalette::ColorRole role;
        QColor expected;
    } rows[] = {
        {COLOR_TEXT, 0x666666, QPalette::Text, QColor(0x66, 0x66, 0x66)},
        {COLOR_TEXT, 0x0000FF, QPalette::Text, QColor(0xFF, 0, 0)},
        {COLOR_TEXT, 0, QPalette::Text, QColor(0, 0, 0)},
        {COLOR_BACKGROUND, 0xFF0000, QPalette::Base, QColor(0, 0, 0xFF)},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(control_set_color(50, row.kind, row.colour), 1);
        EXPECT_EQ(editor->palette().color(row.role), row.expected);
    }
    // The whole log takes the colour, old lines included: sample a pixel of
    // the rendered text.
    control_set_color(50, COLOR_BACKGROUND, 0xFFFFFF);
    control_set_color(50, COLOR_TEXT, 0x0000FF);
    QImage shot = editor->viewport()->grab().toImage();
    bool red_text = false;
    for (int y = 0; y < 20 && !red_text; y++)
        for (int x = 0; x < 60 && !red_text; x++) {
            QColor c = shot.pixelColor(x, y);
            red_text = c.red() > 200 && c.green() < 80 && c.blue() < 80;
        }
    EXPECT_TRUE(red_text);
    control_set_color(50, COLOR_TEXT, -1);
    EXPECT_EQ(editor->palette().color(QPalette::Text), normal);
}

TEST_F(ControlTest, DisableAndEnable)
{
    for (int control : {50, 51}) {
        EXPECT_EQ(control_enabled(control), 1);
        control_disable(control, 1);
        EXPECT_EQ(control_enabled(control), 0);
        EXPECT_FALSE(widget_of(control)->isEnabled());
        control_disable(control, 0);
        EXPECT_EQ(control_enabled(control), 1);
    }
}

TEST_F(ControlTest, StringLimitCountsUtf8Bytes)
{
    EXPECT_EQ(control_set_limit(51, 5), 1);
    struct {
        const char* set;
        const char* kept;
    } rows[] = {
        {"abc", "abc"},
        {"abcdefgh", "abcde"},
        {"\xC3\xA9\xC3\xA9\xC3\xA9", "\xC3\xA9\xC3\xA9"},   // three 2-byte letters
        {"ab\xE2\x82\xAC!", "ab\xE2\x82\xAC"},               // a 3-byte letter fits exactly
    };
    for (const auto& row : rows) {
        control_set_text(51, row.set);
        EXPECT_EQ(control_get_text(51), row.kept) << row.set;
    }
    // Typing at the limit adds nothing.
    control_set_text(51, "abcde");
    widget_of(51)->setFocus();
    static_cast<QLineEdit*>(widget_of(51))->end(false);
    QTest::keyClick(widget_of(51), Qt::Key_F);
    EXPECT_EQ(control_get_text(51), "abcde");
    EXPECT_FALSE(QToolTip::isVisible());
    // With a note, what was cut is said under the field.
    control_set_limit(51, 5, "Too long.");
    QTest::keyClick(widget_of(51), Qt::Key_F);
    EXPECT_EQ(control_get_text(51), "abcde");
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text(), QString("Too long."));
    QToolTip::hideText();
    // No limit again.
    control_set_limit(51, 0);
    control_set_text(51, "abcdefgh");
    EXPECT_EQ(control_get_text(51), "abcdefgh");
}

TEST_F(ControlTest, TabsShowOnlyTheSelectedPage)
{
    build_options_window();
    const int first_on_page[] = {18, 19, 25, 27};
    auto visible_page = [&] {
        int page = -1;
        for (int i = 0; i < 4; i++)
            if (widget_of(first_on_page[i])->isVisible()) {
                EXPECT_EQ(page, -1) << "two pages visible";
                page = i;
            }
        return page;
    };
    EXPECT_EQ(control_get_state(17), 0);
    EXPECT_EQ(visible_page(), 0);
    for (int tab : {3, 1, 2, 0}) {
        EXPECT_EQ(control_set_state(17, tab), 1);
        EXPECT_EQ(visible_page(), tab);
    }
    // The banner after controls_end belongs to the window, not a page.
    EXPECT_EQ(widget_of(15)->parentWidget(), window_handle(WINDOW_OPTIONS));
}

TEST_F(ControlTest, ResizeWithKeepChangesOnlyWhatIsGiven)
{
    QWidget* w = static_cast<QWidget*>(window_handle(7));
    QPoint place = w->pos();
    struct {
        int x, y, width, height;
        QPoint place;
        QSize size;
    } rows[] = {
        {KEEP, KEEP, KEEP, 243, place, QSize(300, 243)},
        {KEEP, KEEP, KEEP, 363, place, QSize(300, 363)},
        {KEEP, KEEP, 250, KEEP, place, QSize(250, 363)},
        {40, KEEP, KEEP, KEEP, QPoint(40, place.y()), QSize(250, 363)},
        {KEEP, 50, KEEP, 233, QPoint(40, 50), QSize(250, 233)},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(window_resize(7, row.x, row.y, row.width, row.height), 1);
        EXPECT_EQ(w->pos(), row.place);
        EXPECT_EQ(w->size(), row.size);
    }
}

TEST_F(ControlTest, TopmostHideAndStateKeepThePlace)
{
    QWidget* w = static_cast<QWidget*>(window_handle(7));
    window_resize(7, 30, 40, 220, 120);
    for (int on : {1, 0}) {
        EXPECT_EQ(window_set_topmost(7, on), 1);
        EXPECT_EQ(w->windowFlags().testFlag(Qt::WindowStaysOnTopHint), on == 1);
        EXPECT_TRUE(w->isVisible());
        EXPECT_EQ(w->pos(), QPoint(30, 40));
        EXPECT_EQ(w->size(), QSize(220, 120));
    }
    EXPECT_EQ(window_hide(7, 1), 1);
    EXPECT_FALSE(w->isVisible());
    // Restoring a hidden window must not show it behind the program's back.
    EXPECT_EQ(window_set_state(7, STATE_RESTORE), 1);
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(window_hide(7, 0), 1);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->size(), QSize(220, 120));
    EXPECT_EQ(window_set_state(7, 12345), 0);
}

TEST_F(ControlTest, StatusBarFollowsTheWindowBottom)
{
    build_main_window();
    QWidget* main = static_cast<QWidget*>(window_handle(WINDOW_MAIN));
    auto* bar = main->findChild<QStatusBar*>();
    ASSERT_NE(bar, nullptr);
    for (int height : {236, 303, 363, 233}) {
        window_resize(WINDOW_MAIN, KEEP, KEEP, KEEP, height);
        EXPECT_EQ(bar->geometry().bottom(), height - 1);
        EXPECT_EQ(bar->width(), 410);
    }
    EXPECT_EQ(statusbar_set_text(0, 0, "Connected. ", STATUS_BORDERLESS), 1);
    EXPECT_EQ(statusbar_get_text(0, 0), "Connected. ");
    EXPECT_EQ(statusbar_set_text(0, 1, "x", STATUS_BORDERLESS), 0);
    EXPECT_EQ(statusbar_set_icon(0, 0, nullptr), 0);
}

TEST_F(ControlTest, ReplacingANumberFreesTheOldControl)
{
    QWidget* old = widget_of(51);
    QPointer<QWidget> watch(old);
    control_button(51, 0, 0, 50, 20, "new");
    EXPECT_TRUE(watch.isNull());
    EXPECT_EQ(control_kind(51), KIND_BUTTON);
    EXPECT_EQ(control_get_text(51), "new");
    // Closing the window frees its controls' numbers.
    window_close(7);
    EXPECT_EQ(control_handle(50), nullptr);
    EXPECT_EQ(control_kind(51), 0);
}

}  // namespace
