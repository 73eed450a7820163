// Settings file: the parser, the lookups and the whole-file rewrite.
//
// The file is read with one read into one buffer at open; the entries found
// there are views into that buffer, never copies. Texts written later live in
// a pool of their own that keeps its strings in place until close. The file
// stays open from open to close, and is rewritten in place with one write and
// cut at its new end. No lock is taken: only one program uses its own
// settings file, each instance from its own working folder.

#include "settings.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

enum SettingsKind { SETTINGS_KEY, SETTINGS_GROUP, SETTINGS_COMMENT };

struct SettingsEntry {
    SettingsKind kind;
    std::string_view key;   // key text, group name or comment text
    std::string_view value; // value text (key entries only)
};

struct SettingsState {
    int fd = -1;                         // the open file; -1 when none
    bool writable = false;               // the rewrite at close may happen
    bool taking_writes = false;          // writes are taken (an opening operation ran)
    bool written = false;                // something was written since opening
    bool utf8 = false;                   // the file began with the UTF-8 mark
    char* content = nullptr;             // the file as read, two NUL bytes after it
    std::vector<SettingsEntry> entries;  // the file's lines in order
    std::vector<SettingsEntry> replaced; // the lines of the file settings_create emptied
    std::deque<std::string> pool;        // texts written since opening
    std::string pending_path;            // file to create at close after a failed open

    ~SettingsState();
};

SettingsState settings_state;

const int SETTINGS_RETRIES = 1000;

bool settings_is_blank(char c) { return c == ' ' || c == '\t'; }

bool settings_is_line_end(char c) { return c == '\r' || c == '\n'; }

// Skips spaces and tabs at the start of `s`.
std::string_view settings_lskip(std::string_view s)
{
    std::size_t i = 0;
    while (i < s.size() && settings_is_blank(s[i])) {
        i++;
    }
    return s.substr(i);
}

// Drops spaces and tabs at the end of `s`.
std::string_view settings_rstrip(std::string_view s)
{
    std::size_t n = s.size();
    while (n > 0 && settings_is_blank(s[n - 1])) {
        n--;
    }
    return s.substr(0, n);
}

// The length of the line that starts at `p` (up to CR, LF or `end`).
std::size_t settings_line_length(const char* p, const char* end)
{
    const char* q = p;
    while (q < end && !settings_is_line_end(*q)) {
        q++;
    }
    return static_cast<std::size_t>(q - p);
}

bool settings_same_key(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) {
            return false;
        }
    }
    return true;
}

// The length of the well-formed UTF-8 sequence at `s[i]`, or 0 when the
// bytes there are not one (overlong forms, surrogates and code points past
// U+10FFFF included), as a strict decoder sees it.
std::size_t settings_utf8_length(std::string_view s, std::size_t i)
{
    const unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        return 1;
    }
    std::size_t need;
    unsigned char low = 0x80, high = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        low = b == 0xE0 ? 0xA0 : 0x80;
        high = b == 0xED ? 0x9F : 0xBF;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        low = b == 0xF0 ? 0x90 : 0x80;
        high = b == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + need >= s.size()) {
        return 0;
    }
    for (std::size_t k = 1; k <= need; k++) {
        const unsigned char c = static_cast<unsigned char>(s[i + k]);
        if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return need + 1;
}

// `s` without what a decoder cannot show: `valid` tells whether there was
// anything of that kind.
std::string settings_shown_part(std::string_view s, bool* valid)
{
    std::string out;
    *valid = true;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = settings_utf8_length(s, i);
        if (n == 0) {
            *valid = false;
            i++;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

// `s` without its replacement characters (U+FFFD).
std::string settings_without_replacements(std::string_view s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); i++) {
        if (s.substr(i, 3) == "\xEF\xBF\xBD") {
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// A window shows bytes that are not UTF-8 as replacement characters, and
// hands those back. When `text` is `old` as a window showed it, the old
// bytes are what the user meant to keep.
bool settings_is_old_value_shown(std::string_view old, std::string_view text)
{
    if (text.find("\xEF\xBF\xBD") == std::string_view::npos) {
        return false;
    }
    bool valid = true;
    const std::string shown = settings_shown_part(old, &valid);
    return !valid && shown == settings_without_replacements(text);
}

// Keeps `text` for the rest of the session and returns a view of it.
std::string_view settings_keep(std::string text)
{
    settings_state.pool.push_back(std::move(text));
    return settings_state.pool.back();
}

// Parses `len` bytes at `p` into the entry list. See header for the format.
void settings_parse(const char* p, std::size_t len)
{
    const char* end = p + len;
    while (p < end) {
        while (p < end && settings_is_blank(*p)) {
            p++;
        }
        if (p == end) {
            break;
        }
        const std::size_t n = settings_line_length(p, end);
        const std::string_view line(p, n);
        if (n > 0 && line[0] == ';') {
            std::string_view text = line.substr(1);
            if (!text.empty() && text[0] == ' ') {
                text.remove_prefix(1);
            }
            settings_state.entries.push_back({SETTINGS_COMMENT, text, {}});
        } else if (n > 0 && line[0] == '[') {
            std::string_view name = line.substr(1);
            name = name.substr(0, name.find(']'));
            settings_state.entries.push_back({SETTINGS_GROUP, name, {}});
        } else if (n > 0) {
            const std::size_t eq = line.find('=');
            std::string_view key = settings_rstrip(line.substr(0, eq));
            std::string_view value;
            if (eq != std::string_view::npos) {
                value = settings_lskip(line.substr(eq + 1));
            }
            settings_state.entries.push_back({SETTINGS_KEY, key, value});
        }
        p += n;
        while (p < end && settings_is_line_end(*p)) {
            p++;
        }
    }
}

// The first key entry of the top section named `key` (already in the file's
// encoding), or nullptr.
SettingsEntry* settings_find(std::string_view key)
{
    for (SettingsEntry& e : settings_state.entries) {
        if (e.kind == SETTINGS_GROUP) {
            break;
        }
        if (e.kind == SETTINGS_KEY && settings_same_key(e.key, key)) {
            return &e;
        }
    }
    return nullptr;
}

SettingsEntry* settings_lookup(const char* key)
{
    return settings_find(key != nullptr ? key : "");
}

// The whole file as it is to be written.
std::string settings_render()
{
    std::string text;
    if (settings_state.utf8) {
        text += "\xEF\xBB\xBF\r\n";
    }
    for (const SettingsEntry& e : settings_state.entries) {
        switch (e.kind) {
        case SETTINGS_KEY:
            text.append(e.key).append(" = ").append(e.value);
            break;
        case SETTINGS_GROUP:
            text.append("[").append(e.key).append("]");
            break;
        case SETTINGS_COMMENT:
            text.append("; ").append(e.key);
            break;
        }
        text += "\r\n";
    }
    // A first key that begins with the mark's bytes would make the next
    // reading take the file for UTF-8; a leading blank line keeps it 8-bit.
    if (!settings_state.utf8 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text.insert(0, "\r\n");
    }
    return text;
}

// Replaces the file's content by `text`; false when any write failed.
bool settings_rewrite(int fd, const std::string& text)
{
    std::size_t done = 0;
    for (int i = 0; i < SETTINGS_RETRIES && done < text.size(); i++) {
        const ssize_t n = pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno != EINTR) {
            return false;
        }
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        }
    }
    return done == text.size() && ftruncate(fd, static_cast<off_t>(text.size())) == 0;
}

// Reads the open file into the content buffer and parses it. A file that
// cannot be read whole is treated as empty and never rewritten, so that a
// later write cannot replace content we never saw.
void settings_load(int fd, std::size_t size)
{
    settings_state.content = static_cast<char*>(std::malloc(size + 2));
    if (settings_state.content == nullptr) {
        settings_state.writable = false;
        return;
    }
    std::size_t got = 0;
    for (int i = 0; i < SETTINGS_RETRIES && got < size; i++) {
        const ssize_t n = read(fd, settings_state.content + got, size - got);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            settings_state.writable = false;
            got = 0;
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    settings_state.content[got] = '\0';
    settings_state.content[got + 1] = '\0';

    const char* start = settings_state.content;
    if (got > 2 && std::memcmp(start, "\xEF\xBB\xBF", 3) == 0) {
        settings_state.utf8 = true;
        start += 3;
        got -= 3;
    }
    settings_parse(start, got);
}

SettingsState::~SettingsState() { settings_close(); }

}  // namespace

// See header.
int settings_open(const char* path)
{
    settings_close();
    if (path == nullptr || path[0] == '\0') {
        return 0;
    }
    SettingsState& s = settings_state;
    s.taking_writes = true;
    s.writable = true;
    // Non-blocking, so that a named pipe in the file's place cannot hold us.
    int fd = open(path, O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        s.writable = false;
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    }
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        s.writable = false;
        s.pending_path = path;
        return 0;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    s.fd = fd;
    settings_load(fd, static_cast<std::size_t>(st.st_size));
    return 1;
}

// See header.
int settings_create(const char* path)
{
    settings_close();
    if (path == nullptr || path[0] == '\0') {
        return 0;
    }
    // The file being replaced keeps its mark, and lends its values to writes
    // that hand them back as a window showed them.
    const int old_fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (old_fd >= 0 && fstat(old_fd, &st) == 0 && S_ISREG(st.st_mode)) {
        settings_load(old_fd, static_cast<std::size_t>(st.st_size));
        settings_state.replaced.swap(settings_state.entries);
    }
    if (old_fd >= 0) {
        close(old_fd);
    }
    const int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        settings_close();
        return 0;
    }
    settings_state.fd = fd;
    settings_state.writable = true;
    settings_state.taking_writes = true;
    return 1;
}

// See header.
std::string settings_read_text(const char* key, const char* fallback)
{
    const SettingsEntry* e = settings_lookup(key);
    if (e == nullptr) {
        return fallback != nullptr ? fallback : "";
    }
    return std::string(settings_rstrip(settings_lskip(e->value)));
}

// See header. Values beyond the int range saturate rather than wrap.
int settings_read_number(const char* key, int fallback)
{
    const SettingsEntry* e = settings_lookup(key);
    if (e == nullptr) {
        return fallback;
    }
    const std::string_view v = e->value;
    std::size_t i = 0;
    while (i < v.size() && (v[i] == ' ' || (v[i] >= '\t' && v[i] <= '\r'))) {
        i++;
    }
    bool negative = false;
    if (i < v.size() && (v[i] == '+' || v[i] == '-')) {
        negative = v[i] == '-';
        i++;
    }
    long long n = 0;
    for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; i++) {
        if (n <= static_cast<long long>(INT_MAX) + 1) {
            n = n * 10 + (v[i] - '0');
        }
    }
    if (negative) {
        n = -n;
    }
    if (n > INT_MAX) {
        return INT_MAX;
    }
    if (n < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(n);
}

// See header. A line end inside the key or the text would split the line on
// the next reading and could plant keys of its own, so each is cut there.
void settings_write_text(const char* key, const char* text)
{
    SettingsState& s = settings_state;
    if (!s.taking_writes) {
        return;
    }
    std::string_view k = key != nullptr ? key : "";
    std::string_view v = text != nullptr ? text : "";
    k = k.substr(0, settings_line_length(k.data(), k.data() + k.size()));
    v = v.substr(0, settings_line_length(v.data(), v.data() + v.size()));
    const std::string_view stored_key = settings_keep(std::string(k));
    SettingsEntry* e = settings_find(stored_key);
    const SettingsEntry* old = e;
    for (auto it = s.replaced.begin(); old == nullptr && it != s.replaced.end(); ++it) {
        if (it->kind == SETTINGS_GROUP) {
            break;
        }
        if (it->kind == SETTINGS_KEY && settings_same_key(it->key, k)) {
            old = &*it;
        }
    }
    // Compared as it was read, since that is what the window was given.
    if (old != nullptr && settings_is_old_value_shown(settings_rstrip(old->value), v)) {
        v = settings_rstrip(old->value);
    }
    const std::string_view stored_value = settings_keep(std::string(v));

    if (e != nullptr) {
        e->key = stored_key;
        e->value = stored_value;
    } else {
        auto at = s.entries.begin();
        while (at != s.entries.end() && at->kind != SETTINGS_GROUP) {
            ++at;
        }
        s.entries.insert(at, {SETTINGS_KEY, stored_key, stored_value});
    }
    s.written = true;
}

// See header.
void settings_write_number(const char* key, int number)
{
    settings_write_text(key, std::to_string(number).c_str());
}

// See header.
void settings_close()
{
    SettingsState& s = settings_state;
    if (s.written && s.fd < 0 && !s.pending_path.empty()) {
        s.fd = open(s.pending_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        s.writable = s.fd >= 0;
    }
    if (s.written && s.fd >= 0 && s.writable) {
        settings_rewrite(s.fd, settings_render());
    }
    if (s.fd >= 0) {
        close(s.fd);
    }
    std::free(s.content);
    s.fd = -1;
    s.content = nullptr;
    s.writable = false;
    s.taking_writes = false;
    s.written = false;
    s.utf8 = false;
    s.entries.clear();
    s.replaced.clear();
    s.pool.clear();
    s.pending_path.clear();
}
