// minizip I/O over the package payload. The callbacks present the descrambled
// payload (file offset 256 onwards) as the zip file: reads go through the
// stream's 64 KiB window, which always holds the leading bytes of the block
// (64 KiB-aligned run of payload bytes) that contains the position, so a seek
// inside the current block costs nothing and only a change of block reads and
// descrambles the file.
//
// The callbacks never throw (minizip is C): a failed file read ends a read
// early, a failed seek returns -1.
#pragma once

#include "fwpkg.h"

// Fills io with the seven callbacks (open, read, write, tell, seek, close,
// test-error), with the stream as their opaque pointer. The stream's file, key
// and data_size must be set before minizip opens it.
void package_stream_io(zlib_filefunc_def& io, package_stream& stream);

// Loads the block that starts at payload offset block_start (a multiple of
// fwpkg_window_size) into the window and descrambles it; window_len becomes the
// number of bytes read. False when nothing could be read.
bool package_stream_load(package_stream& stream, std::uint64_t block_start);
