// Settings file: the parser, the lookups and the whole-file rewrite.
//
// The file is read with one read into one buffer at open; the entries found
// there are views into that buffer, never copies. Texts written later live in
// a pool of their own that keeps its strings in place until close. The
// folder holding the file stays open from open to close. A rewrite never
// touches the old file: the new content goes whole into a new file beside
// it, is flushed to the disk, and then takes the old file's name in one
// rename, so a full disk, a size limit or a crash part-way leaves either
// the old file or the new one, never a cut one. No lock is taken: only one
// program uses its own settings file, each instance from its own working
// folder.

#include "settings.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <time.h>
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
    int folder_fd = -1;                  // the file's folder (O_PATH); -1 when unknown
    std::string name;                    // the file's name in that folder
    int mode = -1;                       // the old file's permissions; -1 for a new file
    bool writable = false;               // the rewrite at close may happen
    bool taking_writes = false;          // writes are taken (an opening operation ran)
    bool written = false;                // the file is to be rewritten at close
    bool utf8 = false;                   // the file began with the UTF-8 mark
    char* content = nullptr;             // the file as read, two NUL bytes after it
    std::vector<SettingsEntry> entries;  // the file's lines in order
    std::vector<SettingsEntry> replaced; // the lines of the file settings_create replaces
    std::deque<std::string> pool;        // texts written since opening

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

// Finds the folder the rewrite happens in and the file's name there. A link
// is followed, so that the rewrite replaces the file it points at and the
// link stays a link. False when the folder cannot be opened.
bool settings_locate(const char* path)
{
    SettingsState& s = settings_state;
    std::string target = path;
    if (char* real = realpath(path, nullptr)) {
        target = real;
        std::free(real);
    }
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    s.name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (s.name.empty()) {
        return false;
    }
    s.folder_fd = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return s.folder_fd >= 0;
}

// A name for the new file that no other rewrite picks: hidden, beside the
// file, made of its name, the process and a clock reading.
std::string settings_temp_name(int attempt)
{
    static unsigned counter = 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const unsigned long long mix = (static_cast<unsigned long long>(now.tv_nsec) << 20) ^
                                   (static_cast<unsigned long long>(getpid()) << 8) ^ ++counter ^
                                   (static_cast<unsigned long long>(attempt) << 40);
    static const char hex[] = "0123456789abcdef";
    std::string name = "." + settings_state.name.substr(0, 200) + ".new-";
    for (int shift = 60; shift >= 0; shift -= 4) {
        name += hex[(mix >> shift) & 15];
    }
    return name;
}

// Puts `text` in place of the file, or leaves the file as it was and
// returns false. See the file header for why it goes through a new file.
bool settings_replace(const std::string& text)
{
    SettingsState& s = settings_state;
    if (s.folder_fd < 0) {
        return false;
    }
    std::string temp;
    int fd = -1;
    for (int i = 0; i < SETTINGS_RETRIES && fd < 0; i++) {
        temp = settings_temp_name(i);
        fd = openat(s.folder_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0 && errno != EEXIST) {
            return false;
        }
    }
    if (fd < 0) {
        return false;
    }
    // Before any byte is written, so a private file is never readable by
    // others even briefly. Some file systems keep no modes; the content
    // matters more than its permissions there.
    if (s.mode >= 0) {
        fchmod(fd, static_cast<mode_t>(s.mode));
    }
    std::size_t done = 0;
    for (int i = 0; i < SETTINGS_RETRIES && done < text.size(); i++) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR) {
            break;
        }
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        }
    }
    bool ok = done == text.size() && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && renameat(s.folder_fd, temp.c_str(), s.folder_fd, s.name.c_str()) == 0;
    if (!ok) {
        unlinkat(s.folder_fd, temp.c_str(), 0);
        return false;
    }
    // The rename itself reaches the disk with the folder. The new content is
    // in place whatever this answers.
    const int folder = openat(s.folder_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return true;
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
    // Opened for writing only to learn whether we may: the file itself is
    // never written. Non-blocking, so that a named pipe in the file's place
    // cannot hold us.
    int fd = open(path, O_RDWR | O_CLOEXEC | O_NONBLOCK);
    s.writable = fd >= 0;
    if (fd < 0) {
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    }
    const int open_error = errno;
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        s.writable = false;
        return 0;
    }
    if (fd < 0) {
        // Only a file that is not there may be created at close; one we
        // could not read is never replaced by content we never saw.
        s.writable = open_error == ENOENT && settings_locate(path);
        return 0;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    settings_load(fd, static_cast<std::size_t>(st.st_size));
    close(fd);
    s.mode = static_cast<int>(st.st_mode & 07777);
    if (s.writable && !settings_locate(path)) {
        s.writable = false;
    }
    return 1;
}

// See header.
int settings_create(const char* path)
{
    settings_close();
    if (path == nullptr || path[0] == '\0') {
        return 0;
    }
    SettingsState& s = settings_state;
    // The file being replaced keeps its mark and its permissions, and lends
    // its values to writes that hand them back as a window showed them. One
    // we may not write, or something other than a file, is left alone.
    const int old_fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (old_fd < 0 && errno != ENOENT) {
        return 0;
    }
    if (old_fd >= 0) {
        struct stat st;
        const int probe = open(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK);
        const bool replaceable = probe >= 0 && fstat(old_fd, &st) == 0 && S_ISREG(st.st_mode);
        if (probe >= 0) {
            close(probe);
        }
        if (replaceable) {
            settings_load(old_fd, static_cast<std::size_t>(st.st_size));
            s.replaced.swap(s.entries);
            s.mode = static_cast<int>(st.st_mode & 07777);
        }
        close(old_fd);
        if (!replaceable) {
            settings_close();
            return 0;
        }
    }
    if (!settings_locate(path)) {
        settings_close();
        return 0;
    }
    s.writable = true;
    s.taking_writes = true;
    s.written = true;
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
int settings_close()
{
    SettingsState& s = settings_state;
    const int saved = !s.written || (s.writable && settings_replace(settings_render())) ? 1 : 0;
    if (s.folder_fd >= 0) {
        close(s.folder_fd);
    }
    std::free(s.content);
    s.folder_fd = -1;
    s.name.clear();
    s.mode = -1;
    s.content = nullptr;
    s.writable = false;
    s.taking_writes = false;
    s.written = false;
    s.utf8 = false;
    s.entries.clear();
    s.replaced.clear();
    s.pool.clear();
    return saved;
}
