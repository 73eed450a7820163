// The six window builders: each opens its window, then creates its controls
// in the order given here, which is also their stacking and Tab order.
// Pictures come from the image table by their embedded numbers; a picture
// that is not there leaves its control empty at its nominal size.
#include "layouts.h"

#include "image.h"
#include "toolkit.h"

#include <iterator>
#include <utility>

// The strips hide the main window and never take the focus, so Escape
// cannot reach them: the one way out must be visible and clickable.
static void strip_cancel(int control)
{
    control_button(control, 199, 4, 17, 17, "\xC3\x97");
    control_tooltip(control, "Cancel");
}

void build_main_window()
{
    if (!window_open(WINDOW_MAIN, 389, 185, 410, 236, "Morlan's File Sender (Build 6000)",
                     WINDOW_TITLE | WINDOW_SYSTEM_MENU | WINDOW_MINIMIZE_BOX | WINDOW_MAXIMIZE_BOX | WINDOW_SIZE_BOX |
                         WINDOW_TAKES_FILES))
        return;
    ui_set_program_icon();
    void* window = window_handle(WINDOW_MAIN);
    controls_begin(window);
    control_button(8, 251, 82, 66, 20, "&Place Call");
    control_frame(2, 19, 110, 370, 97, "Tools:");
    control_frame(11, 18, 216, 370, 109, "Chat:");
    control_editor(12, 30, 235, 343, 56, EDITOR_READONLY);
    statusbar_create(0, window);
    control_image_button(6, 32, 129, 80, 68, image_handle(1));
    control_tooltip(6, "Send File");
    control_disable(6, 1);
    control_image_button(4, 295, 129, 80, 68, image_handle(2));
    control_tooltip(4, "Options");
    control_string(0, 21, 82, 222, 20, "", 0);
    control_button(7, 321, 82, 70, 20, "Disconnect");
    control_disable(7, 1);
    control_image_button(5, 206, 129, 80, 68, image_handle(8));
    control_tooltip(5, "Received Files");
    control_disable(5, 1);
    control_image_button(9, 118, 129, 80, 68, image_handle(9));
    control_tooltip(9, "Chat Window");
    control_disable(9, 1);
    control_image(10, 0, 0, 410, 70, image_handle(0), 0);
    control_string(13, 30, 294, 290, 20, "", 0);
    control_button(14, 323, 294, 50, 20, "Send");
    // Tab goes as one reads: the address row, the tools, the chat; a new
    // user starts where a call starts.
    const int reading[] = {0, 8, 7, 6, 9, 5, 4, 12, 13, 14};
    control_set_tab_order(reading, int(std::size(reading)));
    control_focus(0);
    // Grown past the size that shows the chat, the window gives the room to
    // the address field and the chat log.
    window_grow_from(WINDOW_MAIN, 410, 363);
    const std::pair<int, unsigned> growth[] = {
        {10, GROW_CENTRE_X}, {0, GROW_WIDTH}, {8, GROW_MOVE_X}, {7, GROW_MOVE_X},
        {2, GROW_WIDTH}, {4, GROW_MOVE_X}, {11, GROW_WIDTH | GROW_HEIGHT}, {12, GROW_WIDTH | GROW_HEIGHT},
        {13, GROW_WIDTH | GROW_MOVE_Y}, {14, GROW_MOVE_X | GROW_MOVE_Y}};
    for (auto [control, how] : growth)
        control_grow(control, how);
}

void build_options_window()
{
    if (!window_open(WINDOW_OPTIONS, KEEP, KEEP, 288, 233, "Options", WINDOW_TITLE | WINDOW_CENTER_PARENT | WINDOW_MODAL))
        return;
    window_set_keys(WINDOW_OPTIONS, 16, CONTROL_OPTIONS_CANCEL);
    controls_begin(window_handle(WINDOW_OPTIONS));
    control_button(16, 220, 194, 60, 30, "OK");
    control_button(CONTROL_OPTIONS_CANCEL, 154, 194, 60, 30, "Cancel");
    control_image(28, 262, 2, 24, 24, image_handle(7), 0);
    control_tooltip(28, "Open Help File");
    control_panel(17, 10, 90, 270, 100);

    control_add_item(17, -1, "Folder");
    control_button(18, 38, 22, 180, 30, "Change Default Directory");
    control_text(CONTROL_OPTIONS_FOLDER, 8, 58, 250, 14, "", 0);

    control_add_item(17, -1, "Network");
    control_text(19, 18, 16, 63, 14, "Port Number:", 0);
    control_string(20, 18, 33, 80, 20, "", 0);
    control_text(CONTROL_OPTIONS_PORT_HINT, 104, 36, 150, 14, "", 0);

    control_add_item(17, -1, "Security");
    // Never usable here: kept (their numbers are the window's) but not shown.
    control_checkbox(22, 21, 11, 120, 13, "Scan Files for Viruses");
    control_disable(22, 1);
    control_show(22, 0);
    control_button(23, 171, 8, 50, 21, "Choose");
    control_disable(23, 1);
    control_show(23, 0);
    control_checkbox(25, 21, 51, 115, 14, "Open File Requester");
    control_checkbox(24, 21, 31, 91, 14, "Accept All Files");

    control_add_item(17, -1, "User");
    control_string(27, 18, 32, 130, 20, "Anoynmous", 0);
    control_text(26, 18, 15, 81, 15, "Enter Nickname:", 0);
    controls_end();

    control_image(15, 30, 10, 144, 47, image_handle(5), 0);
}

void build_sending_window()
{
    if (!window_open(WINDOW_SENDING, 5, 5, 219, 25, "Sending File...", WINDOW_POPUP))
        return;
    controls_begin(window_handle(WINDOW_SENDING));
    control_image(21, 0, 0, 219, 25, image_handle(6), 0);
    strip_cancel(CONTROL_SENDING_CANCEL);
}

void build_receiving_window()
{
    if (!window_open(WINDOW_RECEIVING, 5, 5, 219, 25, "Receiving File...", WINDOW_POPUP))
        return;
    controls_begin(window_handle(WINDOW_RECEIVING));
    control_image(33, 0, 0, 219, 25, image_handle(13), 0);
    strip_cancel(CONTROL_RECEIVING_CANCEL);
}

void build_wait_window()
{
    if (!window_open(WINDOW_WAIT, KEEP, KEEP, 164, 47, "Please Wait...", WINDOW_POPUP | WINDOW_CENTER_PARENT))
        return;
    controls_begin(window_handle(WINDOW_WAIT));
    control_image(34, 1, 1, 164, 47, image_handle(10), 0);
}

void build_accept_image_window(const char* title)
{
    if (!window_open(WINDOW_ACCEPT_IMAGE, KEEP, KEEP, 190, 193, title, WINDOW_TITLE | WINDOW_CENTER_PARENT | WINDOW_ASKS))
        return;
    controls_begin(window_handle(WINDOW_ACCEPT_IMAGE));
    control_text(31, 20, 10, 90, 16, "Accept Image?", 0);
    // "&Yes" and "&No", added once the preview is known.
    window_set_keys(WINDOW_ACCEPT_IMAGE, 30, 29);
}
