// The six window builders: each opens its window and creates its controls in
// stacking order. Picture handles come from the image table.
#pragma once

enum {
    WINDOW_MAIN = 0, WINDOW_OPTIONS = 1, WINDOW_SENDING = 2, WINDOW_ACCEPT_IMAGE = 3,
    WINDOW_RECEIVING = 4, WINDOW_WAIT = 5
};

// The cancel buttons at the right end of the transfer strips. A click on
// either is a click on its strip, which abandons the wait or transfer.
enum { CONTROL_SENDING_CANCEL = 37, CONTROL_RECEIVING_CANCEL = 38 };
// Options: Cancel (also Escape and the title-bar close), the folder in
// force, and what is wrong with the port as it is typed.
enum { CONTROL_OPTIONS_CANCEL = 39, CONTROL_OPTIONS_FOLDER = 40, CONTROL_OPTIONS_PORT_HINT = 41 };

void build_main_window();
void build_options_window();
void build_sending_window();
void build_receiving_window();
void build_wait_window();
void build_accept_image_window(const char* title);
