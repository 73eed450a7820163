// What the program tells its user when the network fails it: which failure
// a call met (nobody listening, no answer, a name that cannot be looked up),
// where, and how long it took; why it cannot listen and what to do. Both
// front ends show the same words.
#pragma once

#include <string>

// `why` is a NET_FAILED_* reason; "" when there is nothing more to say.
std::string call_failure_text(int why, const std::string& address, int own_port, double seconds);

// Why the port could not be listened on (`err` an errno value), and the fix.
std::string listen_failure_text(int port, int err);
