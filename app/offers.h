// File and picture offers: the sending side's Send File operation, the
// receiving side's offer handlers, the file-frame receipt and the "Accept
// Image?" answer.
#pragma once

#include <string>

// The "Send File" button: offers every chosen file (pictures with a preview).
void send_files();
// The receiving side of "NAMEJOX..." and "IMGJOX..." (the whole received text).
void on_file_offer(const std::string& text);
void on_image_offer(const std::string& text);
// A poll reported NET_FILE.
void on_file_frame();
// A click on "&Yes" (30) or "&No" (29) of the "Accept Image?" window.
void on_image_answer(int control);
// The call ended (by any path): its acceptance, offered fingerprint, target
// name and "Accept Image?" window end with it, and a question still open
// sends nothing once it returns.
void offers_forget_call();
