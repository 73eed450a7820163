// Chat as the windows show it: the log's reset and colour, and the chat area
// that slides open below the tools. The tokens are the engine's.
//
// The log holds the previous call's lines in grey until the first line of
// the next conversation clears it (chat_lines 0 means "clear before the next
// line").
#include "calls.h"
#include "handlers.h"
#include "state.h"
#include "constants.h"

#include "toolkit.h"

namespace {

const char chat_begin[] = "mMeSSageJOX";
constexpr int CHAT_LOG_LINES = 5000;
const char chat_end[] = "EeNdofMessageJOX";
// The main window's inner heights: folded at start, folded again, and the
// least that shows the whole chat area.
constexpr int CHAT_FOLDED_AT_START = 236;
constexpr int CHAT_FOLDED = 233;
constexpr int CHAT_SHOWN = 363;

void chat_add(const std::string& line)
{
    // chat_lines is negative here, so the line always goes at the end.
    control_add_item(12, app.chat_lines, line.c_str());
}

// Steps shared by every first line of a conversation we send.
void chat_start_sent_line()
{
    if (app.chat_lines == 0) {
        control_set_color(12, COLOR_TEXT, 0);
        control_clear_items(12);
        if (app.chat_expanded != 1) grow_chat_area();
    }
    app.chat_lines -= 1;
}

}  // namespace

int chat_input_limit(const std::string& sent_name)
{
    int limit = JOX_RECEIVE_SIZE - int(sizeof chat_begin - 1) - int(sizeof chat_end - 1) -
                int(sent_name.size()) - 2;
    // 0 would mean "no limit" to the field; a name this long leaves no room.
    return limit < 1 ? 1 : limit;
}

void chat_update_limit()
{
    int limit = chat_input_limit(app.nickname.empty() ? "Anonymous" : app.nickname);
    std::string note = "Too long: a chat line holds " + std::to_string(limit) +
                       " bytes (fewer letters outside A-Z); the rest was left out.";
    control_set_limit(13, limit, note.c_str());
    // A peer that floods chat lines cannot make the log grow for ever.
    control_set_limit(12, CHAT_LOG_LINES);
}

void chat_cleared()
{
    control_clear_items(12);
    chat_start_sent_line();
}

void append_chat_line(const std::string& line, int received)
{
    if (received) {
        if (app.chat_expanded != 1) grow_chat_area();
        if (app.chat_lines == 0) {
            control_set_color(12, COLOR_TEXT, 0);
            control_clear_items(12);
        }
        app.chat_lines -= 1;
    } else {
        chat_start_sent_line();
    }
    chat_add(line);
}

// The chat area slides in 13 steps from the window's height to `to`; from
// the folded window it starts at 233, so the steps are 10 pixels each.
void chat_slide(int to)
{
    // A maximized window slides from its normal size (some window managers
    // refuse to resize a maximized window at all).
    window_set_state(0, STATE_RESTORE);
    int width = 0, height = CHAT_FOLDED;
    window_size(0, &width, &height);
    if (height <= CHAT_FOLDED_AT_START) height = CHAT_FOLDED;
    for (int i = 1; i <= 13; ++i) window_resize(0, KEEP, KEEP, KEEP, height + (to - height) * i / 13);
}

void grow_chat_area()
{
    chat_slide(app.chat_height > CHAT_SHOWN ? app.chat_height : CHAT_SHOWN);
    app.chat_expanded = 1;
}

void shrink_chat_area()
{
    chat_slide(CHAT_FOLDED);
    app.chat_expanded = 0;
}

void chat_area_resized()
{
    int width = 0, height = 0;
    if (!window_size(0, &width, &height)) return;
    if (height >= CHAT_SHOWN) {
        app.chat_expanded = 1;
        app.chat_height = height;
    } else if (height <= CHAT_FOLDED_AT_START) {
        app.chat_expanded = 0;
    }
}

void toggle_chat_area()
{
    if (app.chat_expanded == 0) {
        grow_chat_area();
        control_focus(13);  // opened to chat
    } else {
        shrink_chat_area();
    }
}
