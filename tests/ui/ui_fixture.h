// Shared by the toolkit suites: a fixture that starts the toolkit on a clean
// slate and helpers that drain the event FIFO. The suites run offscreen.
#pragma once

#include "toolkit.h"

#include <QWidget>
#include <gtest/gtest.h>

#include <vector>

inline QWidget* widget_of(int control)
{
    return static_cast<QWidget*>(control_handle(control));
}

// One event as the application sees it right after a poll.
struct polled {
    int code;
    int control;
    int type;
    int key;
};

// Polls until the FIFO is empty (bounded) and returns what came out.
inline std::vector<polled> drain_events()
{
    std::vector<polled> out;
    for (int i = 0; i < 10000; i++) {
        int code = ui_poll_event();
        if (code == EVENT_NONE)
            break;
        out.push_back({code, ui_event_control(), ui_event_type(), ui_event_key()});
    }
    return out;
}

inline bool is_window_event(int code)
{
    return code == EVENT_MOVE_WINDOW || code == EVENT_SIZE_WINDOW || code == EVENT_REPAINT ||
           code == EVENT_ACTIVATE;
}

// Everything but window events, which Qt may add around any action (a
// repaint, an activation) and which the application ignores.
inline std::vector<polled> drain_input_events()
{
    std::vector<polled> out;
    for (const polled& e : drain_events())
        if (!is_window_event(e.code))
            out.push_back(e);
    return out;
}

// How many control events of `type` came from `control`.
inline int count_control(const std::vector<polled>& events, int control, int type)
{
    int n = 0;
    for (const polled& e : events)
        if (e.code == EVENT_CONTROL && e.control == control && e.type == type)
            n++;
    return n;
}

class UiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(ui_init(), 0);
    }
    void TearDown() override
    {
        ui_shutdown();
    }
};
