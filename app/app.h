// The application's entry points. Everything runs on one thread.
#pragma once

// Start-up (toolkit, fault trap, codecs, pictures, main window, sound,
// network, settings, listener), the main loop, then shutdown. Returns the
// process exit code (the error report ends the process itself).
int app_run();
