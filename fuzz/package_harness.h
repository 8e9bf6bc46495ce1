// What the window and brv do with a package file the user picked: open it
// (header, archive, metadata), verify the digests, list the members and read
// each of them (whole and streamed), and check it the way a flash does before
// the handset hears anything.
#pragma once

#include <string>

namespace fuzz {

void exercise_package(const std::string& path);

} // namespace fuzz
