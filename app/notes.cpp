// Desktop notifications for what happens while the user is in another
// program: a chat line, an offer, a finished transfer. Clicking one brings
// the window forward; coming back to jox takes them back.
#include "notes.h"

#include "state.h"

#include "layouts.h"
#include "toolkit.h"

namespace {

enum { NOTE_CHAT = 1, NOTE_OFFER = 2, NOTE_TRANSFER = 3 };

bool away = false;  // none of our windows was active when the events came

std::string note_peer()
{
    std::string who = app.peer_nickname.empty() ? app.peer_address : app.peer_nickname;
    return without_bidi(who);
}

void note(int kind, int window, const std::string& summary, const std::string& body)
{
    if (away) ui_notify(kind, window, summary.c_str(), body.c_str());
}

}  // namespace

// A nickname carrying bidi embeddings or overrides must not reorder our own
// words around it: they are left out where we show it among ours.
std::string without_bidi(const std::string& text)
{
    std::string shown;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char a = (unsigned char)text[i];
        if (a == 0xE2 && i + 2 < text.size()) {
            unsigned char b = (unsigned char)text[i + 1], c = (unsigned char)text[i + 2];
            if ((b == 0x80 && c >= 0xAA && c <= 0xAE) || (b == 0x81 && c >= 0xA6 && c <= 0xA9)) {
                i += 2;
                continue;
            }
        }
        shown += char(a);
    }
    return shown;
}

// Who offers: the nickname the caller gave, and where the call goes.
std::string offer_sender()
{
    std::string who = app.peer_nickname.empty() ? app.peer_address : app.peer_nickname + " (" + app.peer_address + ")";
    return "From: " + without_bidi(who);
}

void notes_look()
{
    away = !ui_program_active();
}

void note_chat(const std::string& line)
{
    note(NOTE_CHAT, WINDOW_MAIN, "Message from " + note_peer(), without_bidi(line));
}

void note_offer(int image, const std::string& name, const std::string& size)
{
    note(NOTE_OFFER, image ? WINDOW_ACCEPT_IMAGE : WINDOW_MAIN, image ? "Accept Image?" : "Accept File?",
         without_bidi(name) + " (" + size + ")\n" + offer_sender());
}

void note_received(const std::string& name, int good, int stored)
{
    const char* what = !stored ? "A file could not be stored" : good ? "File received" : "File received, but corrupted";
    note(NOTE_TRANSFER, WINDOW_MAIN, what, without_bidi(name) + "\n" + offer_sender());
}

void note_sent(int files)
{
    std::string what = files == 1 ? "1 file was sent" : std::to_string(files) + " files were sent";
    note(NOTE_TRANSFER, WINDOW_MAIN, files ? "File sent" : "Nothing was sent",
         (files ? what : std::string("The files were not sent or not accepted")) + " to " + note_peer() + ".");
}

void notes_answered(int window)
{
    window_set_state(window, STATE_RESTORE);
    window_activate(window);
}
