// The application's entry points. Everything runs on one thread.
#pragma once

// Start-up: toolkit and fault trap, codecs, embedded pictures, main window,
// sound, network, alert sound, settings, listener. Non-zero on success.
int app_startup();
// One pass of the main loop. 0 when a close-window event ended the loop.
int app_pass();
// The orderly end after the loop: bye token, closing, error report step,
// components shut down. Does not exit the process.
void app_shutdown();
// app_startup, passes until the loop ends, app_shutdown; the exit code.
int app_run();
