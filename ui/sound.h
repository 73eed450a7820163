// The alert sound: wave files read by our own reader (RIFF, "fmt " at byte 12,
// chunks walked by their stated sizes without pad bytes) and played through
// ALSA. Without a sound device everything is silent, never an error.
#pragma once

#include <cstddef>

// Starts the sound system. Non-zero when an output device could be opened.
int sound_init();
void sound_shutdown();
// Reads a wave file as `number`. 0 when missing or of another layout.
int sound_load(int number, const char* path);
// flags 0: stop it if playing, rewind, play once. Never two copies.
int sound_play(int number, int flags);
// Volume 0-100, clamped, through the volume table.
int sound_volume(int number, int volume);
// The volume table: 0 → 0, 100 → 10000, v → trunc(2000 × log10(1000 v)).
int sound_volume_entry(int volume);

// The wave reader on its own: finds the format record and the data chunk.
struct WaveInfo {
    int format_tag;      // 1 = PCM
    int channels;
    int sample_rate;
    int bits_per_sample;
    int block_align;
    const unsigned char* data;  // points into the parsed buffer
    std::size_t data_size;
};
int sound_parse_wave(const void* file, std::size_t size, WaveInfo* out);
