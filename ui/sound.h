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
// flags 0: stop it if playing, rewind, play once. Never two copies: there is
// one voice, so flags 1 (loop) also restarts, and flags 2 (an additional
// copy) acts as 0. Non-zero when it started; 0 without a device or sound.
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

// Where playback goes: the ALSA device once sound_init succeeds; tests on a
// machine without a sound device install their own. All six are called
// from the playback thread only, one at a time. After the last frame of a
// sound that does not loop, drain is called until it answers non-zero (or a
// new sound starts): a device that waits for a full buffer before it starts
// would otherwise never play a short sound, nor the tail of a long one.
struct SoundSink {
    int (*open)(const WaveInfo* format);                   // non-zero when it can play this format
    long (*write)(const void* frames, std::size_t count);  // frames taken (0: full for now), < 0 on failure
    void (*wait)(int milliseconds);                        // until write may take more, at most this long
    void (*stop)();                                        // drop whatever is queued, at once
    void (*close)();                                       // release the device
    int (*drain)(int milliseconds);  // start if not started, play out; at most this long; non-zero when done
};
// Plays through `sink` from now on (replacing and closing any other).
// Non-zero when playback runs.
int sound_use_sink(const SoundSink* sink);
// Copies of `number` still being handed to the device or played out: 0 or 1.
int sound_playing(int number);
