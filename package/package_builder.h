// Builds a .brp package from a directory: every regular file under it becomes a
// deflate-compressed zip member (names relative to the directory, '/'-separated,
// sorted, fixed timestamps, so the same input gives the same bytes), then the
// zip is scrambled behind a header carrying its length, MD5 and SHA-256.
// Streams: no member is ever held whole in memory, whatever its size; zip64
// fields appear only for a member or an archive of 4 GiB or more. Links to
// files are followed; links to directories are not (one that leads out of the
// directory is an error). The package is written to a temporary beside
// out_path and renamed over it (replacing an earlier one) once complete.
// Throws std::runtime_error ("pack: ...", or "file: ..." when the output
// cannot be created or put in place).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Called with (bytes done, bytes total) while packing; may be empty.
using pack_progress_fn = std::function<void(std::uint64_t done, std::uint64_t total)>;

void pack_directory(const std::string& dir, const std::string& out_path, const pack_progress_fn& progress = {});
