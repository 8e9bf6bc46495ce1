// The package payload as libzip sees it: a seekable read-only zip source over
// the descrambled payload (file offset 256 onwards). Reads go through the
// stream's 64 KiB window, which always holds the leading bytes of the block
// (64 KiB-aligned run of payload bytes) that contains the position, so a seek
// inside the current block costs nothing and only a change of block reads and
// descrambles the file.
//
// The callback never throws (libzip is C): a failed read of the package file
// is a ZIP_ER_READ error with the system's error number, never a short count
// that would pass for the end of the payload.
#pragma once

#include "file.h"
#include "package_header.h"
#include "scrozzler.h"

#include <cstdint>

#include <zip.h>

// The descrambling read window the archive's source works on.
struct package_stream {
    file f;
    scrozzler scrambler;
    std::uint64_t data_size = 0;
    std::uint64_t position = 0;
    std::uint32_t window_pos = 0;
    std::uint32_t window_len = 0;
    zip_error_t error{};  // why the last source command failed, for libzip
    // While set, the first seek libzip makes is noted (see fwpkg::open_member).
    bool note_seek = false;
    std::uint64_t noted_seek = 0;
    bool seek_noted = false;
    std::uint8_t window[fwpkg_window_size];
};


// A new source over the stream; the stream's file, key and data_size must be
// set before it is opened. Freeing the source leaves the stream and its file
// alone (fwpkg::close closes the file). Null (error set) when libzip cannot
// allocate it.
zip_source_t* package_stream_source(package_stream& stream, zip_error_t* error);

// Copies n payload bytes at offset through the window; false when they are
// not all there. Moves the position (libzip seeks before each read anyway).
bool package_stream_read_at(package_stream& stream, std::uint64_t offset, std::uint8_t* out, std::size_t n);

// Loads the block that starts at payload offset block_start (a multiple of
// fwpkg_window_size) into the window and descrambles it; window_len becomes the
// number of bytes read. False when nothing could be read.
bool package_stream_load(package_stream& stream, std::uint64_t block_start);
