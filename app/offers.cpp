// The file offer: the sending side's Send File operation and the receiving
// side's offer and file-frame handlers.
#include "offers.h"

void send_files() {}
void on_file_offer(const std::string&) {}
void on_file_frame() {}
