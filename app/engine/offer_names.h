// Offer texts and names: parsing the peer's offer tokens, reducing an offered
// name to a plain file name, the extension and size line of the acceptance
// question, the renaming rule's candidate names and the picture preview's
// geometry. Pure functions over texts and numbers; nothing here touches the
// network or the windows; only offer_create_target touches the disk.
//
// An offered name comes from a stranger. offer_safe_name is the one gate it
// passes before it is shown or used as a path: what comes out is a single
// plain name component that cannot leave the received-files folder.
#pragma once

#include <string>
#include <vector>

// The name a received file gets when the offered one leaves nothing usable.
constexpr const char* OFFER_FALLBACK_NAME = "received file";
// Longest stored name in bytes (the Linux name limit).
constexpr int OFFER_NAME_MAX = 255;

// The three parts of an offer token, as the peer sent them (name not yet safe).
struct OfferFields {
    std::string name;  // offered file name
    std::string size;  // size text, decimal bytes (file offers only)
    std::string md5;   // MD5 text, normally 32 hexadecimal digits
};

// "NAMEJOX" + name + "SIZEJOXsizejox" + size + "MD5JOX" + md5. Both markers are
// searched from the 7th byte on; a part whose length would be negative (a
// marker missing or out of order) is empty; md5 runs to the end of the text.
OfferFields offer_parse_file(const std::string& text);
// "IMGJOX" + name + "MD5JOX" + md5, the same way (size stays empty).
OfferFields offer_parse_image(const std::string& text);
// 1 when `text` already holds "MD5JOX" (searched from the 7th byte) followed
// by at least 32 bytes, so nothing of the offer can still be on its way.
int offer_complete(const std::string& text);
// How many more bytes may still belong to the offer in `text`: the rest of
// the 32 MD5 digits when the marker is there, else enough for a name of
// OFFER_NAME_MAX bytes with its size and MD5 parts. 0 when it is complete.
int offer_missing_bytes(const std::string& text);

// The offered name reduced to a plain file name: only what follows its last
// "/" or "\", bytes below 32 and 127 dropped, cut to OFFER_NAME_MAX bytes on a
// character boundary; "", "." and ".." become OFFER_FALLBACK_NAME.
std::string offer_safe_name(const std::string& name);
// The file-name part of a local path: what follows its last "/" or "\".
std::string offer_path_name(const std::string& path);
// The text after the last "." of `name`, up to a double quote; empty when
// there is no "." or a "/" or "\" follows it; "No Extension" when empty.
std::string offer_extension(const std::string& name);
// 1 when the extension after the last "." is jpg, png or bmp in any case.
int offer_is_picture(const std::string& name);

// The size line of the question: `size` read as a decimal number V (single
// precision; leading blanks skipped, no number reads as 0). 1024 <= V < 2^20:
// V/1024 rounded half to even and "KB"; 2^20 <= V < 2^30: V/2^20 and "MB";
// otherwise "Few" and " Bytes".
void offer_format_size(const std::string& size, std::string* number, std::string* unit);
// The acceptance question: name and size lines, then the extension line
// unless `extension` is "No Extension", with the virus warning for exe, com,
// rar, zip and dll (any case). Lines are broken by "\r".
std::string offer_accept_text(const std::string& name, const std::string& number,
                              const std::string& unit, const std::string& extension);

// Candidate n of the renaming rule: the part before the first "." (empty when
// there is none, or it is the first byte), then "(n).", then the part after
// that "." (the whole name when there is none). Cut back on the left part
// (else the right) so the result stays within OFFER_NAME_MAX bytes.
std::string offer_copy_name(const std::string& name, int n);

// Creates a new file for the offered (safe) `name` in `folder` (ending in
// "/") by the renaming rule, never replacing or following anything there,
// not even what took a name after it was picked. The descriptor with the
// path in `path`, or -1.
// Names in `reserved` count as taken.
int offer_create_target(const std::string& folder, const std::string& name, std::string* path,
                        const std::vector<std::string>* reserved = nullptr);

// The preview size of a W x H picture: fits 150 x 130 keeping proportions,
// integer arithmetic, small pictures scaled up. 0 x 0 for an empty picture.
void offer_preview_size(int width, int height, int* preview_width, int* preview_height);

// Where the "Accept Image?" window puts a preview of w x h.
struct AcceptImageLayout {
    int image_x;       // left of the preview control (95 - w/2)
    int image_y;       // its top (25)
    int buttons_y;     // top of "&Yes" and "&No" (h + 35)
    int inner_height;  // the window's inner height (h + 65)
};
AcceptImageLayout offer_accept_image_layout(int w, int h);
