// Fuzz target: an offer token as a stranger may send it, through every step
// that reads it before anything touches the disk. Aborts when the name that
// comes out could leave the received-files folder.
#include "offer_names.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

static void fuzz_check_name(const std::string& name)
{
    if (name.empty() || name == "." || name == ".." || name.size() > OFFER_NAME_MAX)
        std::abort();
    for (unsigned char c : name)
        if (c == '/' || c == '\\' || c < 32 || c == 127)
            std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    OfferFields file = offer_parse_file("NAMEJOX" + text);
    OfferFields image = offer_parse_image("IMGJOX" + text);
    offer_complete(text);
    offer_missing_bytes(text);
    for (const OfferFields* f : {&file, &image}) {
        std::string safe = offer_safe_name(f->name);
        fuzz_check_name(safe);
        std::string number, unit;
        offer_format_size(f->size, &number, &unit);
        offer_accept_text(safe, number, unit, offer_extension(safe));
        for (int n : {1, 9, 12345})
            if (offer_copy_name(safe, n).size() > OFFER_NAME_MAX)
                std::abort();
    }
    return 0;
}
