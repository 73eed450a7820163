// Test seams of the application: code that tests may run from inside the
// program's loops, where modal handlers would otherwise keep them out.
#pragma once

// Called once per pass of the main loop and of the options window's loop,
// before the pass polls (nullptr to stop).
void app_test_set_loop_hook(void (*hook)());
