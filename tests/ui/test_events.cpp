// The event poll as the application relies on it: one entry per poll, the
// type reset after every other result, one change per typed character,
// Return as a raw key message, the close box, bursts of window events and
// the clicks of every clickable kind. Driven through the real main window.
#include "layouts.h"
#include "ui_fixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QLineEdit>
#include <QMoveEvent>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <algorithm>

#include <sys/socket.h>
#include <unistd.h>

namespace {

class EventTest : public UiTest {
protected:
    void SetUp() override
    {
        UiTest::SetUp();
        build_main_window();
        ASSERT_NE(window_handle(WINDOW_MAIN), nullptr);
        // Off the address field, which has the focus at start: these rows
        // count events, and a field losing the focus reports it.
        widget_of(8)->setFocus();
        drain_events();
    }
};

TEST_F(EventTest, EmptyPollKeepsControlAndKeyButResetsType)
{
    QTest::mouseClick(widget_of(14), Qt::LeftButton);
    int code = EVENT_NONE;
    // Window events Qt may have queued first carry no control type.
    for (int i = 0; i < 20; i++) {
        code = ui_poll_event();
        if (!is_window_event(code))
            break;
        EXPECT_EQ(ui_event_type(), -1);
    }
    ASSERT_EQ(code, EVENT_CONTROL);
    EXPECT_EQ(ui_event_control(), 14);
    EXPECT_EQ(ui_event_type(), TYPE_CLICK);

    // The click is seen by "control 14 and type 0" exactly once.
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(ui_poll_event(), EVENT_NONE);
        EXPECT_EQ(ui_event_control(), 14);
        EXPECT_EQ(ui_event_type(), -1);
    }
}

TEST_F(EventTest, EveryClickableKindReportsOneClick)
{
    struct {
        int control;
        int kind;
    } rows[] = {
        {14, KIND_BUTTON},
        {8, KIND_BUTTON},
        {4, KIND_IMAGE_BUTTON},
        {10, KIND_IMAGE},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.control);
        ASSERT_EQ(control_kind(row.control), row.kind);
        QTest::mouseClick(widget_of(row.control), Qt::LeftButton);
        std::vector<polled> events = drain_events();
        EXPECT_EQ(count_control(events, row.control, TYPE_CLICK), 1);
    }
}

TEST_F(EventTest, DisabledButtonGivesNoClick)
{
    ASSERT_EQ(control_enabled(6), 0);
    QTest::mouseClick(widget_of(6), Qt::LeftButton);
    EXPECT_EQ(count_control(drain_events(), 6, TYPE_CLICK), 0);
    control_disable(6, 0);
    QTest::mouseClick(widget_of(6), Qt::LeftButton);
    EXPECT_EQ(count_control(drain_events(), 6, TYPE_CLICK), 1);
}

TEST_F(EventTest, CheckBoxClickArrivesAfterItToggled)
{
    build_options_window();
    drain_events();
    control_set_state(17, 2);  // the check boxes' tab
    drain_events();
    QTest::mouseClick(widget_of(24), Qt::LeftButton, {}, QPoint(5, 7));
    std::vector<polled> events = drain_input_events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, EVENT_CONTROL);
    EXPECT_EQ(events[0].control, 24);
    EXPECT_EQ(events[0].type, TYPE_CLICK);
    EXPECT_EQ(control_get_state(24), 1);
}

TEST_F(EventTest, OneTypedCharacterIsOneChange)
{
    QWidget* field = widget_of(13);
    field->setFocus();
    drain_events();

    QTest::keyClick(field, Qt::Key_A);
    std::vector<polled> events = drain_events();
    EXPECT_EQ(count_control(events, 13, TYPE_CHANGE), 1);
    EXPECT_EQ(control_get_text(13), "a");

    control_set_text(13, "");
    events = drain_events();
    EXPECT_EQ(count_control(events, 13, TYPE_CHANGE), 1);
    EXPECT_EQ(control_get_text(13), "");

    // Setting the same text again still reports a change, once.
    control_set_text(13, "");
    EXPECT_EQ(count_control(drain_events(), 13, TYPE_CHANGE), 1);
}

TEST_F(EventTest, ReturnInOneLineFieldIsRawKeyThatStays)
{
    for (int control : {0, 13}) {
        SCOPED_TRACE(control);
        QWidget* field = widget_of(control);
        field->activateWindow();
        field->setFocus();
        drain_events();
        QTest::keyClick(field, Qt::Key_Return);
        std::vector<polled> events = drain_input_events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].code, EVENT_KEY_DOWN);
        EXPECT_EQ(events[0].type, -1);
        EXPECT_EQ(events[0].key, 13);
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(ui_poll_event(), EVENT_NONE);
            EXPECT_EQ(ui_event_key(), 13);
        }
        // The application pairs the key with the field that has the focus.
        EXPECT_EQ(ui_focus_handle(), control_handle(control));
        // Another raw message replaces it, whatever the key.
        const struct {
            Qt::Key key;
            int code;
        } others[] = {{Qt::Key_B, 'B'}, {Qt::Key_Shift, 16}, {Qt::Key_Escape, 27}, {Qt::Key_F5, 116},
                      {Qt::Key_Enter, 13}, {Qt::Key_Home, 36}, {Qt::Key_Menu, 255}};
        for (const auto& other : others) {
            QTest::keyClick(field, other.key);
            drain_events();
            EXPECT_EQ(ui_event_key(), other.code) << other.key;
        }
    }
}

// Folded, the chat area lies below the status bar: Tab never reaches it.
TEST_F(EventTest, TabVisitsOnlyEnabledControlsInSight)
{
    struct {
        int height;
        std::vector<int> reached;  // of the chat area's 12, 13, 14 and the disabled 6
    } rows[] = {{236, {}}, {363, {12, 13, 14}}};
    control_disable(14, 0);
    for (const auto& row : rows) {
        window_resize(WINDOW_MAIN, KEEP, KEEP, KEEP, row.height);
        widget_of(0)->activateWindow();
        widget_of(0)->setFocus();
        std::vector<int> reached;
        for (int i = 0; i < 12; i++) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            for (int c : {6, 12, 13, 14})
                if (widget_of(c) == QApplication::focusWidget() && !std::count(reached.begin(), reached.end(), c))
                    reached.push_back(c);
        }
        std::sort(reached.begin(), reached.end());
        EXPECT_EQ(reached, row.reached) << row.height;
    }
    drain_events();
}

TEST_F(EventTest, DoubleClickOnPictureIsOneClickThenOneDoubleClick)
{
    struct {
        Qt::MouseButton button;
        int click, twice;
    } rows[] = {{Qt::LeftButton, TYPE_CLICK, TYPE_LEFT_DOUBLE_CLICK},
                {Qt::RightButton, TYPE_RIGHT_CLICK, TYPE_RIGHT_DOUBLE_CLICK}};
    for (const auto& row : rows) {
        // What the window system delivers for one double click.
        for (QEvent::Type t : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonPress,
                               QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease}) {
            QMouseEvent e(t, QPointF(5, 5), widget_of(10)->mapToGlobal(QPointF(5, 5)), row.button,
                          t == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(row.button), {});
            QCoreApplication::sendEvent(widget_of(10), &e);
        }
        std::vector<polled> events = drain_events();
        EXPECT_EQ(count_control(events, 10, row.click), 1) << row.button;
        EXPECT_EQ(count_control(events, 10, row.twice), 1) << row.button;
    }
}

TEST_F(EventTest, KeyOnATabPageIsReportedOnce)
{
    build_options_window();
    struct {
        int page, control;
        Qt::Key key;
    } rows[] = {{1, 20, Qt::Key_Return}, {2, 24, Qt::Key_A}, {3, 27, Qt::Key_Return}};
    for (const auto& row : rows) {
        control_set_state(17, row.page);
        widget_of(row.control)->activateWindow();
        widget_of(row.control)->setFocus();
        drain_events();
        QTest::keyClick(widget_of(row.control), row.key);
        // Return there also clicks OK, as the window's button; the key
        // itself is reported once.
        std::vector<polled> events = drain_input_events();
        EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const polled& e) { return e.code == EVENT_KEY_DOWN; }),
                  1) << row.control;
    }
}

// Return and Tab typed while the loop was busy: the Return belongs to the
// field it was typed in, though the Tab moved the focus before the poll.
// A chat line meanwhile brings the main window back but leaves the focus.
TEST_F(EventTest, ReturnKeepsItsFieldAndAttentionKeepsTheFocus)
{
    window_resize(WINDOW_MAIN, KEEP, KEEP, KEEP, 363);
    control_disable(14, 0);
    for (int control : {0, 13}) {
        QWidget* field = widget_of(control);
        field->activateWindow();
        field->setFocus();
        drain_events();
        QCoreApplication::postEvent(field, new QKeyEvent(QEvent::KeyPress, Qt::Key_Return, {}, "\r"));
        QCoreApplication::postEvent(field, new QKeyEvent(QEvent::KeyPress, Qt::Key_Tab, {}, "\t"));
        for (int i = 0; i < 20 && ui_poll_event() != EVENT_KEY_DOWN; i++) {
        }
        ASSERT_EQ(ui_event_key(), 13);
        ASSERT_NE(QApplication::focusWidget(), field);
        EXPECT_EQ(ui_focus_handle(), field) << control;
        drain_events();
        EXPECT_EQ(ui_focus_handle(), QApplication::focusWidget());  // later passes ask the live focus
    }
    build_options_window();
    widget_of(16)->activateWindow();
    widget_of(16)->setFocus();
    window_set_state(WINDOW_MAIN, STATE_MINIMIZE);
    EXPECT_EQ(window_attention(WINDOW_MAIN), 1);
    drain_events();
    EXPECT_FALSE(static_cast<QWidget*>(window_handle(WINDOW_MAIN))->isMinimized());
    EXPECT_EQ(QApplication::focusWidget(), widget_of(16));
}

// A key read after its window closed belongs to no control (the transfer
// strip closes with an Escape typed on it still queued).
TEST_F(EventTest, KeyOutlivingItsWindowHasNoField)
{
    build_options_window();
    widget_of(16)->activateWindow();
    widget_of(16)->setFocus();
    drain_events();
    QTest::keyClick(widget_of(16), Qt::Key_B);
    window_close(WINDOW_OPTIONS);
    int code = EVENT_NONE;
    for (int i = 0; i < 20 && code != EVENT_KEY_DOWN; i++)
        code = ui_poll_event();
    ASSERT_EQ(code, EVENT_KEY_DOWN);
    EXPECT_EQ(ui_event_key(), 'B');
    EXPECT_EQ(ui_focus_handle(), nullptr);
}

TEST_F(EventTest, CloseBoxIsReportedOnceAndWindowStays)
{
    QWidget* window = static_cast<QWidget*>(window_handle(WINDOW_MAIN));
    EXPECT_FALSE(window->close());
    std::vector<polled> events = drain_events();
    int closes = 0;
    for (const polled& e : events)
        closes += e.code == EVENT_CLOSE_WINDOW;
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(ui_event_window(), WINDOW_MAIN);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window_handle(WINDOW_MAIN), window);
}

TEST_F(EventTest, WindowEventBurstsCollapseAndKeepOrder)
{
    QWidget* window = static_cast<QWidget*>(window_handle(WINDOW_MAIN));
    QMoveEvent move(QPoint(1, 1), QPoint(0, 0));
    QResizeEvent size(QSize(410, 236), QSize(410, 236));
    QCoreApplication::sendEvent(window, &move);
    QCoreApplication::sendEvent(window, &move);
    QCoreApplication::sendEvent(window, &move);
    QCoreApplication::sendEvent(window, &size);
    QCoreApplication::sendEvent(window, &move);
    QTest::mouseClick(widget_of(14), Qt::LeftButton);

    std::vector<int> codes;
    for (const polled& e : drain_events())
        if (e.code != EVENT_REPAINT)
            codes.push_back(e.code);
    std::vector<int> expected = {EVENT_MOVE_WINDOW, EVENT_SIZE_WINDOW, EVENT_MOVE_WINDOW, EVENT_CONTROL};
    EXPECT_EQ(codes, expected);
}

TEST_F(EventTest, IdleWaitEndsOnReadableSocketOrTimeOrQueuedEvent)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    QElapsedTimer clock;

    // Nothing happens: it returns after about max_ms.
    clock.start();
    ui_idle_wait(60, pair, 1);
    qint64 quiet = clock.elapsed();
    EXPECT_GE(quiet, 50);
    EXPECT_LT(quiet, 2000);

    // Bytes waiting on the socket end it at once, and stay there to be read.
    ASSERT_EQ(write(pair[1], "x", 1), 1);
    clock.restart();
    ui_idle_wait(5000, pair, 1);
    EXPECT_LT(clock.elapsed(), 1000);
    char byte = 0;
    EXPECT_EQ(read(pair[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'x');

    // An event already queued ends it without taking the event.
    QTest::mouseClick(widget_of(14), Qt::LeftButton);
    clock.restart();
    ui_idle_wait(5000, pair, 1);
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_EQ(count_control(drain_events(), 14, TYPE_CLICK), 1);
    close(pair[0]);
    close(pair[1]);
}

TEST_F(EventTest, WaitEventReturnsWhatArrivesOrNothingAfterItsTime)
{
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(ui_wait_event(40), EVENT_NONE);
    EXPECT_GE(clock.elapsed(), 30);
    EXPECT_EQ(ui_event_type(), -1);

    QTimer::singleShot(20, [] { QTest::mouseClick(static_cast<QWidget*>(control_handle(8)), Qt::LeftButton); });
    int code = EVENT_NONE;
    for (int i = 0; i < 20 && code != EVENT_CONTROL; i++)
        code = ui_wait_event(5000);
    EXPECT_EQ(code, EVENT_CONTROL);
    EXPECT_EQ(ui_event_control(), 8);
}

TEST_F(EventTest, DelayRunsQtWhileItWaits)
{
    // Timers stand for the paint requests of the small progress windows:
    // they must be served during a long delay, not after it.
    bool fired = false;
    QTimer::singleShot(5, [&fired] { fired = true; });
    delay_ms(60);
    EXPECT_TRUE(fired);
}

TEST_F(EventTest, AbandonSeesEscapeAndClicksOnItsWindowOnly)
{
    build_wait_window();
    drain_events();
    EXPECT_EQ(ui_abandon_requested(WINDOW_WAIT), 0);

    QTest::keyClick(widget_of(0), Qt::Key_Escape);
    EXPECT_EQ(ui_abandon_requested(WINDOW_WAIT), 1);
    EXPECT_EQ(ui_abandon_requested(WINDOW_WAIT), 0);  // cleared by the call

    QTest::mouseClick(widget_of(14), Qt::LeftButton);  // another window
    EXPECT_EQ(ui_abandon_requested(WINDOW_WAIT), 0);
    QTest::mouseClick(widget_of(34), Qt::LeftButton);
    EXPECT_EQ(ui_abandon_requested(WINDOW_WAIT), 1);
}

TEST_F(EventTest, UnknownNumbersDoNothing)
{
    EXPECT_EQ(window_resize(9, 1, 1, 10, 10), 0);
    EXPECT_EQ(window_close(9), 0);
    EXPECT_EQ(window_handle(9), nullptr);
    EXPECT_EQ(control_set_text(99, "x"), 0);
    EXPECT_EQ(control_get_text(99), "");
    EXPECT_EQ(control_handle(99), nullptr);
    EXPECT_EQ(control_kind(99), 0);
    EXPECT_TRUE(drain_events().empty());
}

}  // namespace
