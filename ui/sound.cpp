// Sound playback: the numbered sound table, one playing voice, and a small
// playback thread that feeds the output (the ALSA "default" device, opened
// non-blocking). The application itself stays single-threaded: its calls
// only change shared state under one mutex, and the thread does the writing.
// Volume is applied by scaling samples as they are handed over, so a change
// is heard within one chunk. Without a device everything still loads and
// answers, but nothing plays.
//
// Every sound, however short, is started and played out: the device only
// starts by itself once its whole buffer is full.
//
// There is one voice: playing a sound stops whatever plays, rewinds and
// starts again, so there are never two copies (also for flags 2, which would
// ask for an additional copy; mixing is not supported).
#include "sound.h"

#include <alsa/asoundlib.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int SOUND_FORMAT_PCM = 1;
constexpr int SOUND_FORMAT_FLOAT = 3;
constexpr int SOUND_FORMAT_EXTENSIBLE = 0xFFFE;
constexpr long SOUND_MAX_FILE = 64L * 1024 * 1024;
constexpr std::size_t SOUND_CHUNK_FRAMES = 1024;
constexpr int SOUND_DRAIN_STEP_MS = 20;
// A device that never finishes playing out (a stuck sound server) frees the
// voice after this many steps, 10 s at the least.
constexpr int SOUND_DRAIN_STEPS = 500;

// How one sample is stored.
enum SoundSample { SOUND_U8, SOUND_S16, SOUND_S24, SOUND_S32, SOUND_F32, SOUND_F64 };

// One loaded sound: the whole file, and where its samples are in it.
struct Sound {
    std::vector<unsigned char> file;  // the wave file as read
    WaveInfo info;                    // data points into file
    SoundSample sample;               // storage of one sample
    int volume_entry;                 // from the volume table; 10000 = full
};

// The one voice and everything the playback thread shares with callers.
struct SoundState {
    std::mutex lock;                  // guards every field below
    std::condition_variable wake;     // a voice started or the thread must end
    std::map<int, Sound> sounds;      // number to sound
    const SoundSink* sink = nullptr;  // nullptr: silent
    std::thread thread;               // runs sound_thread while sink is set
    bool quit = false;                // tells the thread to end
    int voice = -1;                   // sound number playing, -1 for none
    std::size_t position = 0;         // bytes of its data already handed over
    bool loop = false;                // start again at the end
    bool restart = false;             // the device must stop and reopen first
    unsigned generation = 0;          // bumped on every start and stop
    int drain_calls = 0;              // drain steps taken for the current voice
};

// Never destroyed: a playback thread still running at exit must not meet a
// destroyed std::thread (which would end the program).
SoundState& sound_state() {
    static SoundState* state = new SoundState;
    return *state;
}

// ---- sample scaling ------------------------------------------------------------

int sound_sample_bytes(SoundSample s) {
    switch (s) {
    case SOUND_U8: return 1;
    case SOUND_S16: return 2;
    case SOUND_S24: return 3;
    case SOUND_S32: case SOUND_F32: return 4;
    case SOUND_F64: return 8;
    }
    return 0;
}

// Copies `bytes` of samples to `out`, multiplied by `gain` (0 to 1).
void sound_scale(const unsigned char* in, std::size_t bytes, SoundSample s, double gain, unsigned char* out) {
    if (gain >= 1.0) {
        std::memcpy(out, in, bytes);
        return;
    }
    std::size_t step = std::size_t(sound_sample_bytes(s));
    for (std::size_t i = 0; i + step <= bytes; i += step) {
        switch (s) {
        case SOUND_U8:
            out[i] = (unsigned char)std::lround((int(in[i]) - 128) * gain + 128);
            break;
        case SOUND_S16: {
            int16_t v;
            std::memcpy(&v, in + i, 2);
            v = int16_t(std::lround(v * gain));
            std::memcpy(out + i, &v, 2);
            break;
        }
        case SOUND_S24: {
            int32_t v = int32_t(uint32_t(in[i]) << 8 | uint32_t(in[i + 1]) << 16 | uint32_t(in[i + 2]) << 24) >> 8;
            v = int32_t(std::lround(v * gain));
            out[i] = uint8_t(v);
            out[i + 1] = uint8_t(v >> 8);
            out[i + 2] = uint8_t(v >> 16);
            break;
        }
        case SOUND_S32: {
            int32_t v;
            std::memcpy(&v, in + i, 4);
            v = int32_t(std::llround(v * gain));
            std::memcpy(out + i, &v, 4);
            break;
        }
        case SOUND_F32: {
            float v;
            std::memcpy(&v, in + i, 4);
            v = float(v * gain);
            std::memcpy(out + i, &v, 4);
            break;
        }
        case SOUND_F64: {
            double v;
            std::memcpy(&v, in + i, 8);
            v *= gain;
            std::memcpy(out + i, &v, 8);
            break;
        }
        }
    }
}

// Which formats can be played: PCM of 8/16/24/32 bits, float of 32/64 bits,
// and the extensible record naming either. False for anything else.
bool sound_sample_of(const WaveInfo& info, const unsigned char* file, std::size_t size, SoundSample* out) {
    int tag = info.format_tag;
    if (tag == SOUND_FORMAT_EXTENSIBLE) {
        // The sub-format GUID starts 24 bytes into the format record.
        std::size_t fmt_size = std::size_t(file[16]) | std::size_t(file[17]) << 8 | std::size_t(file[18]) << 16 |
                               std::size_t(file[19]) << 24;
        if (fmt_size < 40 || 20 + 40 > size) return false;
        tag = file[20 + 24] | file[20 + 25] << 8;
    }
    if (info.channels < 1 || info.channels > 8 || info.sample_rate < 1000 || info.sample_rate > 384000) return false;
    int bytes = (info.bits_per_sample + 7) / 8;
    if (info.block_align != info.channels * bytes) return false;
    if (tag == SOUND_FORMAT_PCM) {
        switch (bytes) {
        case 1: *out = SOUND_U8; return true;
        case 2: *out = SOUND_S16; return true;
        case 3: *out = SOUND_S24; return true;
        case 4: *out = SOUND_S32; return true;
        }
    } else if (tag == SOUND_FORMAT_FLOAT) {
        if (info.bits_per_sample == 32) { *out = SOUND_F32; return true; }
        if (info.bits_per_sample == 64) { *out = SOUND_F64; return true; }
    }
    return false;
}

// ---- playback thread -------------------------------------------------------------

double sound_gain(int entry) { return std::pow(10.0, (entry - 10000) / 2000.0); }

// Feeds the voice to the sink in chunks until told to quit. The lock is
// never held while the sink works, so callers never wait on the device.
void sound_thread() {
    SoundState& st = sound_state();
    std::vector<unsigned char> chunk;
    std::unique_lock<std::mutex> held(st.lock);
    while (!st.quit) {
        auto it = st.voice < 0 ? st.sounds.end() : st.sounds.find(st.voice);
        if (it == st.sounds.end()) {
            st.voice = -1;
            st.wake.wait_for(held, std::chrono::milliseconds(200));
            continue;
        }
        const SoundSink* sink = st.sink;
        unsigned generation = st.generation;
        if (st.restart) {
            st.restart = false;
            st.drain_calls = 0;
            WaveInfo format = it->second.info;
            // The sink learns the sample layout through the plain tag.
            format.format_tag = it->second.sample >= SOUND_F32 ? SOUND_FORMAT_FLOAT : SOUND_FORMAT_PCM;
            held.unlock();
            sink->stop();
            int opened = sink->open(&format);
            held.lock();
            if (!opened && st.generation == generation) st.voice = -1;
            continue;
        }
        const Sound& s = it->second;
        std::size_t frame = std::size_t(s.info.block_align);
        std::size_t left = (s.info.data_size - st.position) / frame;
        if (left == 0) {
            if (st.loop && s.info.data_size >= frame) {
                st.position = 0;
                continue;
            }
            if (st.drain_calls++ >= SOUND_DRAIN_STEPS) {
                st.voice = -1;
                continue;
            }
            held.unlock();
            int done = sink->drain(SOUND_DRAIN_STEP_MS);
            held.lock();
            if (done && st.generation == generation) st.voice = -1;
            continue;
        }
        std::size_t frames = left < SOUND_CHUNK_FRAMES ? left : SOUND_CHUNK_FRAMES;
        chunk.resize(frames * frame);
        sound_scale(s.info.data + st.position, chunk.size(), s.sample, sound_gain(s.volume_entry), chunk.data());
        held.unlock();
        long taken = sink->write(chunk.data(), frames);
        if (taken >= 0 && std::size_t(taken) < frames) sink->wait(20);
        held.lock();
        if (st.generation != generation) continue;  // restarted or stopped meanwhile
        if (taken < 0) {
            st.voice = -1;
            continue;
        }
        st.position += std::size_t(taken) * frame;
    }
}

// Stops the thread and closes the sink. Called with the lock not held.
void sound_stop_thread() {
    SoundState& st = sound_state();
    const SoundSink* sink;
    {
        std::lock_guard<std::mutex> g(st.lock);
        st.quit = true;
        sink = st.sink;
    }
    st.wake.notify_all();
    if (st.thread.joinable()) st.thread.join();
    std::lock_guard<std::mutex> g(st.lock);
    if (sink) {
        sink->stop();
        sink->close();
    }
    st.sink = nullptr;
    st.quit = false;
    st.voice = -1;
    st.generation++;
}

// ---- the ALSA device -----------------------------------------------------------

snd_pcm_t* sound_pcm;

void sound_alsa_quiet(const char*, int, const char*, int, const char*, ...) {}

int sound_alsa_open(const WaveInfo* f) {
    snd_pcm_format_t format = SND_PCM_FORMAT_UNKNOWN;
    int bytes = f->block_align / f->channels;
    if (f->format_tag == SOUND_FORMAT_FLOAT) {
        format = bytes == 4 ? SND_PCM_FORMAT_FLOAT_LE : SND_PCM_FORMAT_FLOAT64_LE;
    } else {
        switch (bytes) {
        case 1: format = SND_PCM_FORMAT_U8; break;
        case 2: format = SND_PCM_FORMAT_S16_LE; break;
        case 3: format = SND_PCM_FORMAT_S24_3LE; break;
        case 4: format = SND_PCM_FORMAT_S32_LE; break;
        }
    }
    if (format == SND_PCM_FORMAT_UNKNOWN) return 0;
    return snd_pcm_set_params(sound_pcm, format, SND_PCM_ACCESS_RW_INTERLEAVED, unsigned(f->channels),
                              unsigned(f->sample_rate), 1, 100000) == 0;
}

long sound_alsa_write(const void* frames, std::size_t count) {
    snd_pcm_sframes_t n = snd_pcm_writei(sound_pcm, frames, count);
    if (n >= 0) return long(n);
    if (n == -EAGAIN) return 0;
    // An underrun or a suspend: recover and try again next time.
    if (snd_pcm_recover(sound_pcm, int(n), 1) == 0) return 0;
    return -1;
}

void sound_alsa_wait(int ms) { snd_pcm_wait(sound_pcm, ms); }

int sound_alsa_drain(int ms) {
    // The start threshold is the whole buffer: fewer frames than that leave
    // the stream prepared but silent until someone starts it.
    if (snd_pcm_state(sound_pcm) == SND_PCM_STATE_PREPARED && snd_pcm_start(sound_pcm) < 0) return 1;
    if (snd_pcm_state(sound_pcm) == SND_PCM_STATE_RUNNING) snd_pcm_drain(sound_pcm);  // -EAGAIN: non-blocking
    if (snd_pcm_state(sound_pcm) != SND_PCM_STATE_DRAINING) return 1;
    snd_pcm_wait(sound_pcm, ms);
    if (snd_pcm_state(sound_pcm) != SND_PCM_STATE_DRAINING) return 1;
    // Some plugins answer the wait at once while draining; do not spin.
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return snd_pcm_state(sound_pcm) != SND_PCM_STATE_DRAINING;
}
void sound_alsa_stop() { snd_pcm_drop(sound_pcm); }

void sound_alsa_close() {
    snd_pcm_close(sound_pcm);
    sound_pcm = nullptr;
}

const SoundSink sound_alsa = {sound_alsa_open, sound_alsa_write, sound_alsa_wait,
                              sound_alsa_stop, sound_alsa_close, sound_alsa_drain};

}  // namespace

// ---- public operations -----------------------------------------------------------

// See header.
int sound_use_sink(const SoundSink* sink) {
    sound_stop_thread();
    if (!sink) return 0;
    SoundState& st = sound_state();
    std::lock_guard<std::mutex> g(st.lock);
    st.sink = sink;
    st.thread = std::thread(sound_thread);
    return 1;
}

// See header.
int sound_init() {
    {
        SoundState& st = sound_state();
        std::lock_guard<std::mutex> g(st.lock);
        if (st.sink) return 1;
    }
    // ALSA reports a missing device on stderr by default; ours is a
    // normal situation (no sound card), so it stays quiet.
    snd_lib_error_set_handler(sound_alsa_quiet);
    if (snd_pcm_open(&sound_pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) != 0) {
        sound_pcm = nullptr;
        return 0;
    }
    return sound_use_sink(&sound_alsa);
}

// See header.
void sound_shutdown() {
    sound_stop_thread();
    SoundState& st = sound_state();
    std::lock_guard<std::mutex> g(st.lock);
    st.sounds.clear();
}

// See header.
int sound_load(int number, const char* path) {
    if (!path) return 0;
    FILE* file = std::fopen(path, "rb");
    if (!file) return 0;
    Sound sound;
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    bool read = size > 0 && size <= SOUND_MAX_FILE && std::fseek(file, 0, SEEK_SET) == 0;
    if (read) {
        sound.file.resize(std::size_t(size));
        read = std::fread(sound.file.data(), 1, sound.file.size(), file) == sound.file.size();
    }
    std::fclose(file);
    if (!read || !sound_parse_wave(sound.file.data(), sound.file.size(), &sound.info) ||
        !sound_sample_of(sound.info, sound.file.data(), sound.file.size(), &sound.sample))
        return 0;
    sound.volume_entry = 10000;
    std::size_t offset = std::size_t(sound.info.data - sound.file.data());
    SoundState& st = sound_state();
    std::lock_guard<std::mutex> g(st.lock);
    if (st.voice == number) {
        st.voice = -1;
        st.generation++;
    }
    Sound& kept = st.sounds[number];
    kept = std::move(sound);
    kept.info.data = kept.file.data() + offset;  // the vector's storage moved with it
    return 1;
}

// See header.
int sound_play(int number, int flags) {
    SoundState& st = sound_state();
    {
        std::lock_guard<std::mutex> g(st.lock);
        if (!st.sink || st.sounds.find(number) == st.sounds.end()) return 0;
        st.voice = number;
        st.position = 0;
        st.loop = (flags & 1) != 0;
        st.restart = true;
        st.generation++;
    }
    st.wake.notify_all();
    return 1;
}

// See header.
int sound_volume(int number, int volume) {
    SoundState& st = sound_state();
    std::lock_guard<std::mutex> g(st.lock);
    auto it = st.sounds.find(number);
    if (it == st.sounds.end()) return 0;
    it->second.volume_entry = sound_volume_entry(volume);
    return 1;
}

// See header.
int sound_playing(int number) {
    SoundState& st = sound_state();
    std::lock_guard<std::mutex> g(st.lock);
    return st.sink && st.voice == number && st.sounds.count(number) ? 1 : 0;
}
