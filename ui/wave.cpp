// The wave file reader and the volume table. The layout accepted is narrow
// on purpose: "RIFF" at byte 0, the "fmt " chunk at byte 12 with its format
// record from byte 20, then chunks walked by their stated sizes (8-byte
// header plus size, no pad byte) from the end of "fmt " up to "data".
// Every size is checked against the buffer before anything is read.
#include "sound.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

uint32_t wave_u32(const unsigned char* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
uint16_t wave_u16(const unsigned char* p) { return uint16_t(p[0] | (p[1] << 8)); }

}  // namespace

// See header.
int sound_parse_wave(const void* file, std::size_t size, WaveInfo* out) {
    const unsigned char* p = static_cast<const unsigned char*>(file);
    if (!p || size < 20 + 16 || std::memcmp(p, "RIFF", 4) != 0 || std::memcmp(p + 12, "fmt ", 4) != 0) return 0;
    std::size_t fmt_size = wave_u32(p + 16);
    if (fmt_size < 16 || fmt_size > size - 20) return 0;
    WaveInfo info{};
    info.format_tag = wave_u16(p + 20);
    info.channels = wave_u16(p + 22);
    info.sample_rate = int(wave_u32(p + 24) & 0x7FFFFFFF);
    info.block_align = wave_u16(p + 32);
    info.bits_per_sample = wave_u16(p + 34);
    std::size_t pos = 20 + fmt_size;
    // Each step moves at least 8 bytes forward, so the walk ends.
    while (size - pos >= 8) {
        std::size_t length = wave_u32(p + pos + 4);
        if (length > size - pos - 8) return 0;  // a chunk claiming more than the file holds
        if (std::memcmp(p + pos, "data", 4) == 0) {
            info.data = p + pos + 8;
            info.data_size = length;
            *out = info;
            return 1;
        }
        pos += 8 + length;
    }
    return 0;
}

// See header.
int sound_volume_entry(int volume) {
    if (volume <= 0) return 0;
    if (volume >= 100) return 10000;
    // The small bias keeps exact powers of ten (1 -> 6000, 10 -> 8000) from
    // truncating to one less through rounding in log10.
    return int(2000.0 * std::log10(1000.0 * volume) + 1e-9);
}
