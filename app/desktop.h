// The desktop front end over the engine: the main loop and the options
// window serve it, buttons call it, and its events reach the windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Starts the engine with the settings in AppState; 0 (and a status text
// saying so) when the port could not be listened on.
int desktop_start();
// The settings in AppState changed: the next call uses them, a changed port
// is listened on at once.
void desktop_settings_changed();
int desktop_listening_port();
// Serves the network: hands the engine what became ready, waiting up to
// `wait_ms` (also for window events) when nothing is, then shows its events.
void desktop_serve(int wait_ms);
// The user's commands.
void desktop_place_call();
void desktop_disconnect();
void desktop_send_files();
// Files dropped on the main window: offered as Send File would, folders
// refused with a word.
void desktop_drop(const std::vector<std::string>& paths);
void desktop_typing(int non_empty);
void desktop_chat();
// A box or requester opened for a question was answered.
void desktop_answered(int box, int answer, const std::vector<std::string>& files);
// A click on "&Yes" (30) or "&No" (29) of the "Accept Image?" window.
void desktop_image_answer(int control);
// Escape or a click on the wait window or a strip.
void desktop_check_abandon();
// Goodbye, a moment for it to leave, the engine gone.
void desktop_stop();

// Control numbers of the strips' progress bar and text.
enum { PROGRESS_BAR = 35, PROGRESS_TEXT = 36, PROGRESS_DETAIL = 42 };
// The strip's line below its picture.
constexpr int PROGRESS_DETAIL_HEIGHT = 15;

// A resumed transfer says so on its strip for this long (seconds).
constexpr double RESUMING_SHOWN = 2.0;
// "P % · S MB/s" for `done` of `total` bytes after `seconds` (MB = 2^20
// bytes, kB = 2^10 under 1 MB/s; speed left out before a tenth of a second
// has passed); the speed
// counts what moved since `from`, where a resumed transfer went on, which
// its first moments show instead: "resuming at P %".
std::string progress_text(int64_t done, int64_t total, double seconds, int64_t from = 0);
// The strip's second line: the file's name, then the time left once the
// rate is known ("report.pdf · 0:42 left", "1:02:03 left" past an hour).
std::string progress_detail(const std::string& name, int64_t done, int64_t total, double seconds, int64_t from = 0);
// Called after every progress update with the strip's window (nullptr stops).
void progress_set_observer(void (*observer)(int window));
// Turns the strips' progress display off (0) or on (1, the default), and the
// seconds spent drawing it so far: for measuring what the display costs.
void progress_set_display(int on);
double progress_display_seconds();
// After a trapped fault: the engine is let go without a goodbye or any
// further work on its connections.
void desktop_abandon();
