// The desktop program has no front end besides its windows.
#include "front.h"

const FrontEnd* front_end = nullptr;

void front_offered(const std::string& path, int outcome)
{
    if (front_end && front_end->offered) front_end->offered(path, outcome);
}

void front_stored(const std::string& path, int64_t size, const std::string& md5, int good)
{
    if (front_end && front_end->stored) front_end->stored(path, size, md5, good);
}
