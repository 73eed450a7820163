// The picture offer: a preview travels before the receiving user decides.
#include "offers.h"

void on_image_offer(const std::string&) {}
void on_image_answer(int) {}
