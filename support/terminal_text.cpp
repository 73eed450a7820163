// Peer text for terminal lines.
#include "terminal_text.h"

#include <cstdio>

namespace {

int is_bidi_control(unsigned cp)
{
    return cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

// Length of the UTF-8 sequence at `i` and its code point; 0 when invalid.
std::size_t utf8_at(const std::string& s, std::size_t i, unsigned* cp)
{
    unsigned char c = (unsigned char)s[i];
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return 0;
    unsigned v = len == 1 ? c : c & (0x7f >> len);
    for (std::size_t k = 1; k < len; ++k) {
        unsigned char t = (unsigned char)s[i + k];
        if ((t >> 6) != 2) return 0;
        v = (v << 6) | (t & 0x3f);
    }
    static const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < least[len] || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff)) return 0;
    *cp = v;
    return len;
}

}  // namespace

std::string terminal_text(const std::string& text)
{
    std::string out;
    char buf[16];
    // Bounded by the text: each pass takes at least one byte.
    for (std::size_t i = 0; i < text.size();) {
        unsigned cp = 0;
        std::size_t len = utf8_at(text, i, &cp);
        if (len == 0 || cp < 0x20 || cp == 0x7f || (cp >= 0x80 && cp <= 0x9f)) {
            // An invalid byte or a C1 control is shown byte by byte.
            std::size_t n = len ? len : 1;
            for (std::size_t k = 0; k < n; ++k) {
                std::snprintf(buf, sizeof buf, "\\x%02X", (unsigned char)text[i + k]);
                out += buf;
            }
            i += n;
        } else if (is_bidi_control(cp)) {
            std::snprintf(buf, sizeof buf, "<U+%04X>", cp);
            out += buf;
            i += len;
        } else {
            out.append(text, i, len);
            i += len;
        }
    }
    return out;
}
