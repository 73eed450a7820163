// Offer texts and names: parsing, safe names, size line, question text,
// renaming candidates and preview geometry. See header.
#include "offer_names.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cmath>
#include <cstdlib>

namespace {

const std::string OFFER_MD5_MARK = "MD5JOX";
const std::string OFFER_SIZE_MARK = "SIZEJOXsizejox";
constexpr int OFFER_MD5_DIGITS = 32;
// "NAMEJOX" + longest name + "SIZEJOXsizejox" + "-2147483648" + "MD5JOX" + digits.
constexpr int OFFER_LONGEST = 7 + OFFER_NAME_MAX + 14 + 11 + 6 + OFFER_MD5_DIGITS;

// The bytes of `text` from 0-based `from`, `length` long; empty when the
// length is negative, cut at the end of the text.
std::string offer_mid(const std::string& text, long from, long length)
{
    if (length <= 0 || from < 0 || from >= long(text.size()))
        return "";
    return text.substr(std::size_t(from), std::size_t(length));
}

// 0-based position of `mark` searched from 0-based `from`, or -1.
long offer_find(const std::string& text, const std::string& mark, std::size_t from)
{
    if (from > text.size())
        return -1;
    std::size_t at = text.find(mark, from);
    return at == std::string::npos ? -1 : long(at);
}

std::string offer_lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c + 32);
    return text;
}

// Length of the longest prefix of `text` within `limit` bytes that does not
// end inside a UTF-8 sequence.
std::size_t offer_utf8_cut(const std::string& text, std::size_t limit)
{
    if (text.size() <= limit)
        return text.size();
    std::size_t cut = limit;
    // A continuation byte (10xxxxxx) at the cut belongs to the character before.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return cut;
}

// The extension after the last "." of a plain name, "" when none.
std::string offer_raw_extension(const std::string& name)
{
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return "";
    std::string ext = name.substr(dot + 1);
    if (ext.find('/') != std::string::npos || ext.find('\\') != std::string::npos)
        return "";
    std::size_t quote = ext.find('"');
    if (quote != std::string::npos)
        ext.resize(quote);
    return ext;
}

} // namespace

OfferFields offer_parse_file(const std::string& text)
{
    OfferFields f;
    // Positions below are 1-based as in the token's description: S and M.
    long s = offer_find(text, OFFER_SIZE_MARK, 6) + 1;
    long m = offer_find(text, OFFER_MD5_MARK, 6) + 1;
    f.name = offer_mid(text, 7, s - 8);
    f.size = offer_mid(text, s + 13, m - (s + 14));
    if (m > 0)
        f.md5 = offer_mid(text, m + 5, long(text.size()));
    return f;
}

OfferFields offer_parse_image(const std::string& text)
{
    OfferFields f;
    long m = offer_find(text, OFFER_MD5_MARK, 6) + 1;
    f.name = offer_mid(text, 6, m - 7);
    if (m > 0)
        f.md5 = offer_mid(text, m + 5, long(text.size()));
    return f;
}

int offer_missing_bytes(const std::string& text)
{
    long m = offer_find(text, OFFER_MD5_MARK, 6);
    long need = m >= 0 ? m + long(OFFER_MD5_MARK.size()) + OFFER_MD5_DIGITS : OFFER_LONGEST;
    long missing = need - long(text.size());
    return missing > 0 ? int(missing) : 0;
}

int offer_complete(const std::string& text)
{
    return offer_find(text, OFFER_MD5_MARK, 6) >= 0 && offer_missing_bytes(text) == 0;
}

std::string offer_path_name(const std::string& path)
{
    std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string offer_safe_name(const std::string& name)
{
    std::string plain;
    for (char c : offer_path_name(name)) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b >= 32 && b != 127)
            plain += c;
    }
    plain.resize(offer_utf8_cut(plain, OFFER_NAME_MAX));
    if (plain.empty() || plain == "." || plain == "..")
        return OFFER_FALLBACK_NAME;
    return plain;
}

std::string offer_extension(const std::string& name)
{
    std::string ext = offer_raw_extension(name);
    return ext.empty() ? "No Extension" : ext;
}

int offer_is_picture(const std::string& name)
{
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return 0;
    std::string ext = offer_lower(name.substr(dot + 1));
    return ext == "jpg" || ext == "png" || ext == "bmp";
}

void offer_format_size(const std::string& size, std::string* number, std::string* unit)
{
    *unit = " Bytes";
    number->clear();
    // Only a decimal number counts (strtof alone would also take "0x..",
    // "inf" and exponents): blanks, a sign, digits, a point, digits.
    std::size_t at = size.find_first_not_of(" \t");
    std::size_t end = at == std::string::npos ? size.size() : at;
    if (end < size.size() && (size[end] == '+' || size[end] == '-'))
        ++end;
    end = std::min(size.find_first_not_of("0123456789", end), size.size());
    if (end < size.size() && size[end] == '.')
        end = std::min(size.find_first_not_of("0123456789", end + 1), size.size());
    std::string decimal = at == std::string::npos ? "" : size.substr(at, end - at);
    float v = std::strtof(decimal.c_str(), nullptr);
    // nearbyint rounds half to even in the default rounding mode.
    if (v >= 1024.0f && v < 1048576.0f) {
        *number = std::to_string(long(std::nearbyint(double(v) / 1024.0)));
        *unit = "KB";
    } else if (v >= 1048576.0f && v < 1073741824.0f) {
        *number = std::to_string(long(std::nearbyint(double(v) / 1048576.0)));
        *unit = "MB";
    }
    if (number->empty())
        *number = "Few";
}

std::string offer_accept_text(const std::string& name, const std::string& number,
                              const std::string& unit, const std::string& extension)
{
    std::string text = "Accept File: \r  Name : " + name + "\r  Size    : " + number + unit;
    if (extension == "No Extension")
        return text + " ?";
    std::string lower = offer_lower(extension);
    bool risky = lower == "exe" || lower == "com" || lower == "rar" || lower == "zip" ||
                 lower == "dll";
    return text + "\r  Ext     : " + extension +
           (risky ? " ?\r\rWARNING :\r   File May Contain a Virus." : " ?");
}

std::string offer_copy_name(const std::string& name, int n)
{
    std::size_t dot = name.find('.');
    std::string head = dot == std::string::npos ? "" : name.substr(0, dot);
    std::string tail = dot == std::string::npos ? name : name.substr(dot + 1);
    std::string mark = "(" + std::to_string(n) + ").";
    std::size_t room = OFFER_NAME_MAX > int(mark.size()) ? OFFER_NAME_MAX - mark.size() : 0;
    if (head.size() + tail.size() > room) {
        head.resize(offer_utf8_cut(head, tail.size() < room ? room - tail.size() : 0));
        if (head.size() + tail.size() > room)
            tail.resize(offer_utf8_cut(tail, room - head.size()));
    }
    return head + mark + tail;
}

void offer_preview_size(int width, int height, int* preview_width, int* preview_height)
{
    *preview_width = 0;
    *preview_height = 0;
    if (width <= 0 || height <= 0)
        return;
    long long t = static_cast<long long>(height) * 150 / width;
    if (t > 130) {
        *preview_width = int(static_cast<long long>(width) * 130 / height);
        *preview_height = 130;
    } else {
        *preview_width = 150;
        *preview_height = int(t);
    }
    // A sliver of a picture still gets a pixel each way; a scale to zero
    // would fail and leave the picture at its full size.
    if (*preview_width < 1) *preview_width = 1;
    if (*preview_height < 1) *preview_height = 1;
}

AcceptImageLayout offer_accept_image_layout(int w, int h)
{
    return AcceptImageLayout{95 - w / 2, 25, h + 35, h + 65};
}

namespace {

// Anything at all under this path (a file, a folder, a link to nowhere).
int offer_name_taken(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

constexpr int OFFER_COPY_LIMIT = 100000;
constexpr int OFFER_CREATE_TRIES = 8;

}  // namespace

int offer_create_target(const std::string& folder, const std::string& name, std::string* path,
                        const std::vector<std::string>* reserved)
{
    auto taken = [&](const std::string& target) {
        if (reserved)
            for (const std::string& r : *reserved)
                if (r == target) return true;
        return offer_name_taken(folder + target) != 0;
    };
    for (int tries = 0; tries < OFFER_CREATE_TRIES; ++tries) {
        std::string target = name;
        for (int n = 1; taken(target); ++n) {
            if (n > OFFER_COPY_LIMIT) return -1;
            target = offer_copy_name(name, n);
        }
        *path = folder + target;
        int fd = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}
