// End-to-end harness: runs the real program in-process one loop pass at a
// time, talks to it over loopback as a raw protocol peer with exact bytes,
// and starts a second real instance as a child process. Everything waits
// with a time limit, and a watchdog ends the test program when a loop pass
// does not return; nothing here can hang a test.
//
// In-process runs: each starts in its own temporary working folder (the
// settings file, received files and preview live there) and answers message
// boxes itself, recording them; run_program calls are recorded, never run.
#pragma once

#include <sys/types.h>

#include <functional>
#include <source_location>
#include <string>
#include <vector>

// --- Folders, files, ports --------------------------------------------------
// A fresh empty folder under /tmp, ending in "/".
std::string harness_temp_dir(const char* tag);
// Removes a folder made by harness_temp_dir with everything in it.
void harness_remove_dir(const std::string& dir);
// A harness_temp_dir folder removed with everything in it when this ends,
// however the test ends (a failed ASSERT returns early).
struct HarnessTempDir {
    explicit HarnessTempDir(const char* tag) : path(harness_temp_dir(tag)) {}
    ~HarnessTempDir() { harness_remove_dir(path); }
    HarnessTempDir(const HarnessTempDir&) = delete;
    HarnessTempDir& operator=(const HarnessTempDir&) = delete;
    const std::string path;  // ends in "/"; "" when it could not be made
};
std::string harness_read_file(const std::string& path);
void harness_write_file(const std::string& path, const std::string& bytes);
// A TCP port nobody listens on right now (0.0.0.0 and 127.0.0.x).
int harness_free_port();
// 1 while something listens on 0.0.0.0:`port` or 127.0.0.x:`port`.
int harness_port_taken(int port);

// The settings file the program reads at start-up.
struct HarnessConfig {
    int port = 0;
    std::string folder;               // "" = the working folder's "Received Files/"
    std::string ip;
    std::string auto_accept = "No";
    std::string open_file = "No";
    int timeout = 2;
    std::string nickname;
};
// Writes `dir`/jox.cfg with the seven keys.
void harness_write_config(const std::string& dir, const HarnessConfig& config);

// --- The program in-process ---------------------------------------------------
// Start the program with `dir` as its working folder. 1 on success.
int harness_app_start(const std::string& dir);
// Ends the run as the program would (bye token, closing, components down),
// clears the seams and returns to the earlier working folder.
void harness_app_stop();
// Runs loop passes until `done` holds or `timeout_ms` passed; 1 when it held.
// Stops early, with 0, when the loop ended (close-window event). `what` says
// what the test waits for; the watchdog names it, with the caller's line.
int pump_until(const std::function<bool()>& done, int timeout_ms, const char* what = "",
               std::source_location caller = std::source_location::current());
// Runs loop passes for about `ms`.
void pump_for(int ms, std::source_location caller = std::source_location::current());
// A pass of the loop (waits inside handlers included), start-up or shutdown
// that does not return within this limit ends the test program at once,
// printing what it was waiting for and the status text, so a stuck wait
// fails the suite instead of hanging it. 0 restores the default.
void harness_set_pass_limit(int ms);
// 1 once a pass has ended the loop.
int harness_loop_ended();

// Real input through Qt: a left click on control N, typing into it, Return
// with the focus on it, and the close box of a window.
void harness_click(int control);
void harness_type(int control, const std::string& text);
void harness_press_return(int control);
void harness_close_window(int window);

// Steps run from inside the program's loops (the main loop and the options
// window's own loop), in order; each is tried once a pass until it returns
// true. Lets a test act while a modal handler holds the loop.
void harness_inside(std::function<bool()> step);
int harness_inside_pending();

// Message boxes: every box is recorded; each is answered with the next
// answer given here, or with IDOK when none is left.
struct HarnessMessage {
    std::string title;
    std::string text;
};
std::vector<HarnessMessage>& harness_messages();
void harness_answer_next(int button);
// 1: boxes are still recorded but stay open as real window-modal boxes
// until the test (or the program) closes them; 0 answers them again.
void harness_hold_boxes(int hold);

// run_program calls, recorded instead of started.
struct HarnessRun {
    std::string target;
    std::string parameters;
};
std::vector<HarnessRun>& harness_runs();

// Shortcuts for what tests read most.
std::string harness_status();  // status-bar text

// --- Raw protocol peer (blocking loopback sockets) ---------------------------
// A listener on ip:port (SO_REUSEADDR), -1 on failure.
int raw_listen(const char* ip, int port);
// The next caller, or -1 after `timeout_ms`.
int raw_accept(int listener, int timeout_ms);
// A connection to ip:port, or -1.
int raw_connect(const char* ip, int port, int timeout_ms);
// Sends all bytes; 1 on success.
int raw_send(int fd, const std::string& bytes);
// What arrives within `timeout_ms`, stopping early once `max` bytes are in.
std::string raw_read(int fd, size_t max, int timeout_ms);
// Reads exactly the length of `expected` (or until the time runs out) and
// compares; the bytes read are returned in `got` when given.
int raw_expect(int fd, const std::string& expected, int timeout_ms, std::string* got = nullptr);
// 1 when the far end closed with no further bytes within `timeout_ms`;
// anything read meanwhile goes to `extra` when given.
int raw_at_eof(int fd, int timeout_ms, std::string* extra = nullptr);
void raw_close(int fd);

// --- A second real instance -----------------------------------------------------
// Starts the program binary offscreen with `dir` as its working folder. The
// pid, or -1. The child is killed when this test program ends, however it
// ends (call it from the test's main thread: the kernel ties the child to
// the thread that forked).
pid_t harness_spawn(const std::string& dir);
// Waits for the child to exit; 1 with its wait status in `status`, or 0
// when `timeout_ms` passed (the child is left running).
int harness_wait_exit(pid_t pid, int timeout_ms, int* status);
// Ends a child we started (SIGTERM, then SIGKILL) and reaps it.
void harness_stop(pid_t pid);
