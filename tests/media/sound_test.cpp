// The wave reader's accepted and refused layouts, the volume table, the
// shipped alert sound, and playback. No sound device exists here, so
// playback runs through a recording sink that takes a few frames at a time
// like a real device would; the silent path without any device is tested too.
#include "sound.h"
#include "media_util.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// ---- recording sink ------------------------------------------------------------

struct Recorder {
    std::mutex lock;
    Bytes since_open;      // bytes written since the last open
    std::size_t frame = 0; // bytes per frame of the open format
    int opens = 0;
    int stops = 0;
    int closes = 0;
    std::vector<std::size_t> drained_at;  // bytes written since open at each drain step
    int drain_steps_needed = 1;           // steps the device takes to play out
};
Recorder recorder;

int rec_open(const WaveInfo* f) {
    std::lock_guard<std::mutex> g(recorder.lock);
    recorder.opens++;
    recorder.since_open.clear();
    recorder.frame = std::size_t(f->block_align);
    return 1;
}
long rec_write(const void* frames, std::size_t count) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a device takes time
    std::lock_guard<std::mutex> g(recorder.lock);
    std::size_t n = count < 256 ? count : 256;
    const unsigned char* p = static_cast<const unsigned char*>(frames);
    recorder.since_open.insert(recorder.since_open.end(), p, p + n * recorder.frame);
    return long(n);
}
void rec_wait(int) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
void rec_stop() {
    std::lock_guard<std::mutex> g(recorder.lock);
    recorder.stops++;
}
void rec_close() {
    std::lock_guard<std::mutex> g(recorder.lock);
    recorder.closes++;
}
int rec_drain(int) {
    std::lock_guard<std::mutex> g(recorder.lock);
    recorder.drained_at.push_back(recorder.since_open.size());
    return int(recorder.drained_at.size()) >= recorder.drain_steps_needed;
}
const SoundSink recording_sink = {rec_open, rec_write, rec_wait, rec_stop, rec_close, rec_drain};

std::size_t recorded_bytes() {
    std::lock_guard<std::mutex> g(recorder.lock);
    return recorder.since_open.size();
}

// Polls `done` every millisecond for at most `ms`; true when it held.
template <class F>
bool wait_until(F done, int ms) {
    for (int i = 0; i < ms; i++) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

Bytes wave_data(const std::string& rel) {
    Bytes file = media_fixture_bytes(rel);
    WaveInfo info{};
    EXPECT_TRUE(sound_parse_wave(file.data(), file.size(), &info));
    return Bytes(info.data, info.data + info.data_size);
}

const std::string short_wave = "sounds/short-8k.wav";

class SoundPlayback : public ::testing::Test {
protected:
    void SetUp() override {
        sound_shutdown();
        std::lock_guard<std::mutex> g(recorder.lock);
        recorder.since_open.clear();
        recorder.opens = recorder.stops = recorder.closes = 0;
        recorder.drained_at.clear();
        recorder.drain_steps_needed = 1;
    }
    void TearDown() override { sound_shutdown(); }
};

}  // namespace

// ---- the wave reader -------------------------------------------------------------

TEST(WaveReader, FixtureLayouts) {
    struct {
        const char* file;
        bool ok;
        int tag, channels, rate, bits, align;
        std::size_t data_offset, data_size;
    } cases[] = {
        {"front-center-s16-mono-48k.wav", true, 1, 1, 48000, 16, 2, 44, 137090},
        {"chime-u8-mono-22k.wav", true, 1, 1, 22050, 8, 1, 44, 5512},
        {"chime-s16-stereo-44k.wav", true, 1, 2, 44100, 16, 4, 44, 52920},
        {"short-8k.wav", true, 1, 1, 8000, 16, 2, 44, 3200},
        // A 3-byte chunk and no pad byte: data's header starts at 47.
        {"odd-chunk-before-data.wav", true, 1, 1, 8000, 16, 2, 55, 3200},
        {"list-before-fmt.wav", false, 0, 0, 0, 0, 0, 0, 0},
        {"no-data-chunk.wav", false, 0, 0, 0, 0, 0, 0, 0},
        {"not-riff.wav", false, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        Bytes file = media_fixture_bytes(std::string("sounds/") + c.file);
        WaveInfo info{};
        ASSERT_EQ(sound_parse_wave(file.data(), file.size(), &info) != 0, c.ok);
        EXPECT_EQ(sound_load(3, media_fixture(std::string("sounds/") + c.file).c_str()) != 0, c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(info.format_tag, c.tag);
        EXPECT_EQ(info.channels, c.channels);
        EXPECT_EQ(info.sample_rate, c.rate);
        EXPECT_EQ(info.bits_per_sample, c.bits);
        EXPECT_EQ(info.block_align, c.align);
        EXPECT_EQ(std::size_t(info.data - file.data()), c.data_offset);
        EXPECT_EQ(info.data_size, c.data_size);
    }
    EXPECT_EQ(sound_load(3, media_fixture("sounds/missing.wav").c_str()), 0);
    sound_shutdown();
}

TEST(WaveReader, CraftedRefusals) {
    auto wave = [](uint32_t fmt_size, const std::vector<std::pair<const char*, uint32_t>>& chunks, std::size_t body) {
        Bytes b;
        media_put_text(b, "RIFF");
        media_put32(b, 0);
        media_put_text(b, "WAVE");
        media_put_text(b, "fmt ");
        media_put32(b, fmt_size);
        for (uint32_t v : {0x00010001u, 8000u, 16000u, 0x00100002u}) media_put32(b, v);
        for (const auto& c : chunks) {
            media_put_text(b, c.first);
            media_put32(b, c.second);
        }
        b.resize(b.size() + body, 0);
        return b;
    };
    struct {
        const char* name;
        Bytes file;
        bool ok;
    } cases[] = {
        {"plain", wave(16, {{"data", 8}}, 8), true},
        {"empty data", wave(16, {{"data", 0}}, 0), true},
        {"fmt shorter than its record", wave(14, {{"data", 8}}, 8), false},
        {"fmt longer than the file", wave(4000, {{"data", 8}}, 8), false},
        {"data longer than the file", wave(16, {{"data", 9}}, 8), false},
        {"chunk size near 4 GiB", wave(16, {{"junk", 0xFFFFFFF8u}}, 16), false},
        {"only a header left", wave(16, {{"junk", 0}}, 4), false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        WaveInfo info{};
        EXPECT_EQ(sound_parse_wave(c.file.data(), c.file.size(), &info) != 0, c.ok);
    }
    // The data chunk is last, so every shorter prefix of a file is refused.
    Bytes file = media_fixture_bytes("sounds/short-8k.wav");
    for (std::size_t cut = 0; cut < file.size(); cut++) {
        WaveInfo info{};
        ASSERT_EQ(sound_parse_wave(file.data(), cut, &info), 0) << cut;
    }
}

TEST(WaveReader, VolumeTable) {
    struct {
        int volume, entry;
    } table[] = {{0, 0}, {1, 6000}, {2, 6602}, {10, 8000}, {50, 9397}, {99, 9991}, {100, 10000}, {-5, 0}, {150, 10000}};
    for (const auto& t : table) EXPECT_EQ(sound_volume_entry(t.volume), t.entry) << t.volume;
    for (int v = 1; v <= 100; v++) EXPECT_GT(sound_volume_entry(v), sound_volume_entry(v - 1)) << v;
}

TEST(WaveReader, ShippedAlertSoundIsShortSoftAndClickFree) {
    Bytes file = media_read(std::string(JOX_TEST_DATA) + "/../../assets/alert1.wav");
    WaveInfo info{};
    ASSERT_TRUE(sound_parse_wave(file.data(), file.size(), &info));
    EXPECT_EQ(info.format_tag, 1);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.bits_per_sample, 16);
    EXPECT_TRUE(info.sample_rate == 22050 || info.sample_rate == 44100);
    std::size_t n = info.data_size / 2;
    double seconds = double(n) / info.sample_rate;
    EXPECT_GT(seconds, 0.25);
    EXPECT_LT(seconds, 0.6);
    std::vector<int16_t> s(n);
    std::memcpy(s.data(), info.data, n * 2);
    int peak = 0, first_jump = 0;
    for (std::size_t i = 0; i < n; i++) peak = std::max(peak, std::abs(int(s[i])));
    for (std::size_t i = 0; i + 1 < 8; i++) first_jump = std::max(first_jump, std::abs(s[i + 1] - s[i]));
    EXPECT_GT(peak, 3000);    // audible
    EXPECT_LT(peak, 32000);   // not clipped
    EXPECT_LT(std::abs(int(s[0])), 100);       // starts at rest
    EXPECT_LT(std::abs(int(s[n - 1])), 100);   // and ends there
    EXPECT_LT(first_jump, 2000);               // a ramp, not a step
}

// ---- playback ----------------------------------------------------------------------

TEST_F(SoundPlayback, WithoutDeviceEverythingIsSilentButWorks) {
    ASSERT_TRUE(sound_load(3, media_fixture(short_wave).c_str()));
    EXPECT_TRUE(sound_volume(3, 100));
    EXPECT_EQ(sound_play(3, 0), 0);
    EXPECT_EQ(sound_play(3, 0), 0);
    EXPECT_EQ(sound_playing(3), 0);
    EXPECT_EQ(sound_play(4, 0), 0);    // no such sound
    EXPECT_EQ(sound_volume(4, 50), 0);
    // Whatever this machine has, a second start changes nothing and
    // playing never fails loudly.
    int device = sound_init();
    EXPECT_EQ(sound_init(), device);
    ASSERT_TRUE(sound_load(3, media_fixture(short_wave).c_str()));
    EXPECT_EQ(sound_play(3, 0), device);
}

TEST_F(SoundPlayback, PlayingAgainRestartsAndKeepsOneCopy) {
    ASSERT_TRUE(sound_load(3, media_fixture(short_wave).c_str()));
    Bytes data = wave_data(short_wave);
    ASSERT_TRUE(sound_use_sink(&recording_sink));
    ASSERT_TRUE(sound_play(3, 0));
    ASSERT_TRUE(wait_until([] { return recorded_bytes() >= 1024; }, 3000));
    ASSERT_TRUE(sound_play(3, 0));  // mid-way through the first copy
    EXPECT_EQ(sound_playing(3), 1);
    ASSERT_TRUE(wait_until([] { return sound_playing(3) == 0; }, 5000));
    std::lock_guard<std::mutex> g(recorder.lock);
    EXPECT_EQ(recorder.opens, 2);
    EXPECT_EQ(recorder.stops, 2);  // each start first silences what is queued
    EXPECT_EQ(recorder.since_open, data);  // exactly one whole copy after the restart
}

TEST_F(SoundPlayback, VolumeScalesSamples) {
    ASSERT_TRUE(sound_load(3, media_fixture(short_wave).c_str()));
    Bytes data = wave_data(short_wave);
    ASSERT_TRUE(sound_use_sink(&recording_sink));
    struct {
        int volume;
        double gain;
    } cases[] = {{50, 0.49946}, {1, 0.01}, {0, 0.0}, {100, 1.0}};  // -6.03, -40, -100 and 0 dB
    for (const auto& c : cases) {
        SCOPED_TRACE(c.volume);
        ASSERT_TRUE(sound_volume(3, c.volume));
        ASSERT_TRUE(sound_play(3, 0));
        ASSERT_TRUE(wait_until([] { return sound_playing(3) == 0; }, 5000));
        std::lock_guard<std::mutex> g(recorder.lock);
        ASSERT_EQ(recorder.since_open.size(), data.size());
        for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
            int16_t in, out;
            std::memcpy(&in, &data[i], 2);
            std::memcpy(&out, &recorder.since_open[i], 2);
            ASSERT_NEAR(out, in * c.gain, 1.0) << "sample " << i / 2;
        }
    }
}

// ALSA's own null device plays (and discards) like a real one: the real
// device path, formats included, runs without sound hardware. A looping
// sound keeps playing only if the device accepted its format.
class SoundAlsaNull : public MediaTempDir {
protected:
    void SetUp() override {
        MediaTempDir::SetUp();
        sound_shutdown();
        std::string conf = path("asound.conf");
        std::ofstream(conf) << "pcm.!default { type null }\n";
        setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
    }
    void TearDown() override {
        sound_shutdown();
        unsetenv("ALSA_CONFIG_PATH");
        MediaTempDir::TearDown();
    }
};

TEST_F(SoundAlsaNull, EveryFixtureFormatPlays) {
    ASSERT_TRUE(sound_init());
    for (const char* f : {"chime-u8-mono-22k.wav", "chime-s16-stereo-44k.wav", "front-center-s16-mono-48k.wav"}) {
        SCOPED_TRACE(f);
        ASSERT_TRUE(sound_load(3, media_fixture(std::string("sounds/") + f).c_str()));
        ASSERT_TRUE(sound_volume(3, 50));
        ASSERT_TRUE(sound_play(3, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(sound_playing(3), 1);
        ASSERT_TRUE(sound_play(3, 0));
        ASSERT_TRUE(sound_play(3, 0));
        EXPECT_TRUE(wait_until([] { return sound_playing(3) == 0; }, 5000));
    }
    // A sound shorter than the device's buffer is started and played out.
    ASSERT_TRUE(sound_load(3, media_fixture(short_wave).c_str()));
    ASSERT_TRUE(sound_play(3, 0));
    EXPECT_TRUE(wait_until([] { return sound_playing(3) == 0; }, 5000));
}

TEST_F(SoundPlayback, LoopingAndReplacingTheSound) {
    ASSERT_TRUE(sound_load(3, media_fixture(short_wave).c_str()));
    std::size_t size = wave_data(short_wave).size();
    ASSERT_TRUE(sound_use_sink(&recording_sink));
    ASSERT_TRUE(sound_play(3, 1));
    ASSERT_TRUE(wait_until([&] { return recorded_bytes() > 2 * size; }, 5000));
    EXPECT_EQ(sound_playing(3), 1);  // still going round
    // Loading another file under the number stops the old one at once.
    ASSERT_TRUE(sound_load(3, media_fixture("sounds/chime-u8-mono-22k.wav").c_str()));
    EXPECT_EQ(sound_playing(3), 0);
    ASSERT_TRUE(sound_play(3, 0));
    ASSERT_TRUE(wait_until([] { return sound_playing(3) == 0; }, 5000));
    EXPECT_EQ(recorded_bytes(), wave_data("sounds/chime-u8-mono-22k.wav").size());
    sound_shutdown();
    std::lock_guard<std::mutex> g(recorder.lock);
    EXPECT_EQ(recorder.closes, 1);
}

// A device starts only on a full buffer: a sound of any length is played
// out after its last frame, and counts as playing until it was heard.
TEST_F(SoundPlayback, EverySoundIsPlayedOutAfterItsLastFrame) {
    struct {
        const char* file;
        int steps;  // drain steps the device needs
    } rows[] = {{"sounds/short-8k.wav", 1}, {"sounds/chime-u8-mono-22k.wav", 1}, {"sounds/short-8k.wav", 4}};
    ASSERT_TRUE(sound_use_sink(&recording_sink));
    for (const auto& row : rows) {
        ASSERT_TRUE(sound_load(3, media_fixture(row.file).c_str()));
        std::unique_lock<std::mutex> setup(recorder.lock);
        recorder.drain_steps_needed = row.steps;
        recorder.drained_at.clear();
        setup.unlock();
        ASSERT_TRUE(sound_play(3, 0));
        ASSERT_TRUE(wait_until([] { return sound_playing(3) == 0; }, 5000));
        std::lock_guard<std::mutex> g(recorder.lock);
        EXPECT_EQ(recorder.drained_at, std::vector<std::size_t>(std::size_t(row.steps), wave_data(row.file).size()))
            << row.file << " " << row.steps;
    }
}
