// Fuzz target: the wave reader on arbitrary bytes. When it accepts, the data
// it points at must lie inside the input (checked by touching every byte).
#include "sound.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    WaveInfo info{};
    if (!sound_parse_wave(data, size, &info)) return 0;
    if (info.data < data || info.data + info.data_size > data + size) std::abort();
    unsigned sum = 0;
    for (std::size_t i = 0; i < info.data_size; i++) sum += info.data[i];
    return sum == 0xFFFFFFFFu ? 1 : 0;
}
