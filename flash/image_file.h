// Image files from the user's disk (a folder's images, brv write's file) as
// byte sources, and the single write of one such file onto a stretch of a LUN.
#pragma once

#include "byte_source.h"
#include "file.h"
#include "firehose.h"
#include "sparse_image.h"

#include <cstdint>
#include <optional>
#include <string>

// A file's bytes; throws "<path> changed while it was read" when it ends
// before, or runs past, the size it had when it was looked at.
class image_file : public byte_source {
public:
    image_file(std::string path, std::uint64_t size);
    std::size_t read(std::uint8_t* out, std::size_t len) override;

private:
    std::string path_;
    std::uint64_t size_;
    std::uint64_t done_ = 0;
    file in_;
};

// An image file checked against the stretch it is to be written to.
struct image_write_plan {
    std::string path;
    std::uint64_t size = 0;
    std::optional<sparse_plan> sparse;  // set for an Android sparse image
    std::uint64_t bytes_sent = 0;       // the image rounded up to whole sectors, or the sparse image's runs
};

// Reads the file through (a sparse image through every chunk) and refuses,
// with std::runtime_error and nothing sent, a file that cannot be read, a raw
// image larger than room_bytes ("<path> (N bytes) is larger than <where> (M
// bytes)"), or a sparse image that is damaged or expands beyond it.
image_write_plan check_image_file(const std::string& path, std::uint32_t sector_size, std::uint64_t room_bytes,
                                  const std::string& where);

// Writes the checked file from first_sector of the LUN on: a raw image in
// whole sectors (the last one padded with zeros), a sparse image as its runs.
// The rest of the stretch keeps what it held. on_piece gets the bytes sent so far.
void write_image_file(firehose& programmer, std::uint32_t lun, std::uint64_t first_sector,
                      const image_write_plan& plan, const data_progress& on_piece);
