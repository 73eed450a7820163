// The steps of the file and picture offers that offers.cpp and
// image_offer.cpp share, and that tests reach directly. They read and write
// the offer fields of AppState.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "offer_names.h"

// Files of this size or more do not fit a frame and are not offered.
constexpr long long OFFER_SIZE_LIMIT = 1LL << 31;
// Where a picture's preview is written and read, in the working folder.
constexpr const char* OFFER_PREVIEW_FILE = "JOXTemp.jpg";
// A preview is made to fit 150 x 130 pixels; one larger than this is not
// kept, and the offer goes on as for a picture that cannot be shown.
constexpr std::size_t OFFER_PREVIEW_LIMIT = 1 << 20;

// size_number and size_unit from offered_size.
void format_size();
// target_name from offered_name and receive_folder by the renaming rule, so
// that nothing existing (file or folder) is overwritten. 0 when no free name
// was found (target_name is then "").
int pick_target_name();

// The sending side's wait for "RF" after an offer: at most timeout_seconds
// whole seconds (none when 0 or less), counted in `waited`. 1 when exactly
// "RF" came in time. Otherwise offer_failed = 1 and the call is over: a late
// or wrong reply as when the peer leaves, an abandoned wait as "Disconnect".
int wait_for_rf();
// Checks the chosen file (send_path) before anything is sent and takes its
// size and fingerprint: 0, after telling the user, when it is 2 GiB or more
// or cannot be read.
int offer_prepare(long long* size, std::string* md5);
// One plain file's offer and transfer (send_path, send_name).
void offer_file();
// The same once offer_prepare has given its size and fingerprint.
void offer_file_prepared(long long size, const std::string& md5);
// One picture's offer with a preview; falls back to offer_file when the
// picture cannot be loaded.
void offer_image();
// After the preview or the "SD": waits for the answer, sends the file after
// "a", and consumes "sent".
void offer_answer_and_send();

// 1 when a wait of the current Send File operation ended the call, so the
// remaining chosen files are not offered.
int offer_call_ended();

// Reads the rest of an offer whose first receive (`text`) ended before its
// 32 MD5 digits: whatever arrives within a short bounded wait, no more than
// the offer can still hold.
void offer_read_rest(std::string* text);

// The receiving side's start of an offer: the rest of a long offer read,
// parsed by `parse`, offered_name (made safe) and offered_md5 set, and any
// earlier acceptance dropped. The parsed parts are returned.
OfferFields offer_take(const std::string& text, OfferFields (*parse)(const std::string&));
// Sends "RF" and runs the receiving side's acceptance step of a file offer
// already parsed into the offered_* fields (used by on_file_offer).
void offer_accept_file();
// Takes a file frame nobody accepted off the connection and drops it.
void offer_discard_frame();
// Takes one frame off the call's connection without storing it, keeping
// its body in `keep` when it is at most `keep_limit` bytes, within the
// transfer time limit in total. 1 when the whole frame was taken; 0 when
// none was waiting, or when the frame broke off and the call was ended.
int offer_take_frame(std::string* keep, std::size_t keep_limit, int64_t* size);
// Ends the call after part of a frame (`frame_end`, a NetFrameEnd) went or
// came: the stream is out of step. The receiving side still says goodbye.
void offer_end_out_of_step(int frame_end, int receiving);
// Accepts the pending offer: "a", a free target name, file_accepted = 1.
void offer_accept();
// Declines it: "na", file_accepted = 0, controls back, status.
void offer_decline();
