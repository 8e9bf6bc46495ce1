// The handset's firmware: the Sahara boot ROM and, once it has loaded a
// programmer, the Firehose flash programmer. Runs on the handset's own thread.
#pragma once

#include "../device_link.h"
#include "../handset_options.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vhandset {

// Boots the ROM, serves the host until the handset leaves the bus (unplugged,
// or a power reset that calls link.detach()), then returns. Never throws.
// LUN images and transcript.txt live in state_dir.
void run_firmware(device_link& link, const handset_options& opts, const std::filesystem::path& state_dir);

// The transcript lines written so far into state_dir/transcript.txt.
std::vector<std::string> read_transcript(const std::filesystem::path& state_dir);

// The LUN the boot ROM boots from, as the last accepted setbootablestoragedrive
// left it: state_dir/bootable_drive holds its decimal number and a newline, and
// outlives the session. read: nullopt when none was set or the file does not
// hold a number. write: replaces the file whole; throws std::runtime_error
// ("firmware: ...") when it cannot.
std::optional<unsigned> read_bootable_drive(const std::filesystem::path& state_dir);
void write_bootable_drive(const std::filesystem::path& state_dir, unsigned lun);

} // namespace vhandset
