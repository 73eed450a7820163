// Fixed texts of the program: its version title, the settings file, and the
// web pages it opens. The forum's host lives in one place so that moving the
// forum changes one line.
#pragma once

// Title of the application's message boxes and of the "Accept Image?" window.
#define JOX_VERSION_TITLE "JOX 1.05 build 6000"

// Settings file, relative to the working folder.
#define JOX_SETTINGS_FILE "jox.cfg"

// The help program, started from the working folder when it is there.
#define JOX_HELP_PROGRAM "help.exe"

// The forum that holds the online help and takes bug reports.
#define JOX_FORUM_HOST "https://forum.jox.example/"
#define JOX_HELP_PAGE JOX_FORUM_HOST "viewforum.php?f=4"
#define JOX_REPORT_PAGE JOX_FORUM_HOST "viewforum.php?f=1"

// The alert sound: the working folder's, else the one shipped with the program.
#define JOX_ALERT_SOUND "alert1.wav"

// The help page shipped with the program, found beside the binary or in the
// installed data folder.
#define JOX_HELP_FILE "help.html"

// The peer reads a control token with one receive of this many bytes.
constexpr int JOX_RECEIVE_SIZE = 256;
