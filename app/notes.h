// Desktop notifications of the desktop front end (see notes.cpp).
#pragma once

#include <string>

// Before a batch of events: whether the user is elsewhere, so they are told.
void notes_look();
void note_chat(const std::string& line);
// An offer of `name`, `size` as shown ("12.5 KB"); an image offer's click
// brings its "Accept Image?" window.
void note_offer(int image, const std::string& name, const std::string& size);
// `stored` 0: it could not be written whole.
void note_received(const std::string& name, int good, int stored);
void note_sent(int files);
// A notification for `window` was clicked.
void notes_answered(int window);

// Shared with the desktop front end.
std::string without_bidi(const std::string& text);
std::string offer_sender();
