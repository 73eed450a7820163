// A front end other than the windows: the command line drives the same
// handlers with the windows kept offscreen, and hears through these calls
// what a person would have seen in them. With no front end set (the desktop
// program) nothing here is called.
#pragma once

#include <cstdint>
#include <string>

// How one offered file ended, on the offering side.
enum {
    OFFER_OUTCOME_DELIVERED = 0,  // accepted, sent and confirmed ("sent")
    OFFER_OUTCOME_DECLINED,       // the peer answered "na" (or anything but "a")
    OFFER_OUTCOME_CORRUPTED,      // the peer reported an MD5 error
    OFFER_OUTCOME_NO_ANSWER,      // no timely "RF"
    OFFER_OUTCOME_GONE,           // the peer left, or the transfer was cut off
    OFFER_OUTCOME_UNREADABLE,     // the file could not be read
    OFFER_OUTCOME_TOO_LARGE       // 2 GiB or more
};

struct FrontEnd {
    int listen;  // 1 = listen for callers on the port
    // After the settings file was read: overrides for this run only.
    void (*settings)();
    // Every status text.
    void (*status)(const std::string& text);
    // A chat line that arrived, as the log shows it.
    void (*chat)(const std::string& line);
    // A transfer's progress; non-zero abandons it.
    int (*progress)(int64_t done, int64_t total, double seconds, int sending);
    // Offering side: how the file at `path` ended.
    void (*offered)(const std::string& path, int outcome);
    // Receiving side: a file was stored at `path` and checked.
    void (*stored)(const std::string& path, int64_t size, const std::string& md5, int good);
};

// The front end in use, or nullptr for the windows alone.
extern const FrontEnd* front_end;

// Shortcuts that do nothing without a front end.
void front_offered(const std::string& path, int outcome);
void front_stored(const std::string& path, int64_t size, const std::string& md5, int good);
