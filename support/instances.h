// The desktop programs of one user running at once: each leaves a file named
// by its process number in a folder of the user's, so a second one knows it
// is not alone (and opens its window beside the first, not over it).
#pragma once

#include <string>

// Records this process in `folder` (made when missing) and returns how many
// other recorded processes still run; the files of ended ones are removed.
int instances_join(const std::string& folder);
void instances_leave(const std::string& folder);
// The folder for them: $XDG_RUNTIME_DIR/jox-instances/, else one in /tmp
// named by the user.
std::string instances_folder();
