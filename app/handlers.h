// Handlers of the main loop that are not the network's: chat area, options,
// settings and the Return key.
#pragma once

#include <string>

// --- Chat (chat.cpp) ----------------------------------------------------------
void toggle_chat_area();
void grow_chat_area();
void shrink_chat_area();
// The user resized the main window: the chat counts as shown when it can be seen.
void chat_area_resized();
// The longest input that still fits one receive with the token and the name.
int chat_input_limit(const std::string& sent_name);
// Sets the chat input's limit for the current nickname.
void chat_update_limit();

// --- Options (options.cpp) ----------------------------------------------------
void options_dialog();
void change_folder();
void open_help();
// The port field's text read like atoi: blanks, one sign, digits.
int options_read_port(const std::string& text);
// Takes the port field's text at "OK": a number from 1 to 65535 becomes the
// port (saying when a new one takes effect); anything else is refused with
// a message and the port stays.
void options_take_port(const std::string& text);

// --- Start-up and settings (startup.cpp) -------------------------------------
void load_settings();
void save_settings();
void open_received_folder();

// --- Main loop (main_loop.cpp) -----------------------------------------------
// 1 when the last poll returned the Return key while `control` had the focus.
int return_pressed_in(int control);
// Runs the test hook of the loops, if one is set.
void app_loop_hook();
