// Shared pieces of the desktop application's tests: running the toolkit loop
// for a while, reading back pixels, capturing message boxes, and building
// packages the virtual handset can be flashed with.
#pragma once

#include <FL/Fl_Window.H>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace apptest {

// Runs the toolkit loop in small steps until `done` holds or `timeout_ms` has
// passed; true when `done` held.
bool pump_until(const std::function<bool()>& done, unsigned timeout_ms);
// Runs the toolkit loop for about `ms` milliseconds.
void pump_for(unsigned ms);

// Redraws what is pending and reads one pixel of the shown window as 0xRRGGBB.
std::uint32_t pixel_at(Fl_Window& window, int x, int y);
// True when any pixel of the rectangle has exactly this colour.
bool area_has_colour(Fl_Window& window, int x, int y, int w, int h, std::uint32_t rgb);
// True when every pixel of the rectangle has exactly this colour.
bool area_is_uniform(Fl_Window& window, int x, int y, int w, int h, std::uint32_t rgb);

// Message boxes are recorded instead of shown while an instance lives.
class message_capture {
public:
    message_capture();
    ~message_capture();
    message_capture(const message_capture&) = delete;
    message_capture& operator=(const message_capture&) = delete;

    const std::vector<std::string>& messages() const;
    void clear();
};

// A package as the tools would make it, for a handset with 512-byte sectors.
struct package_layout {
    std::string display_name = "Test Handset X1";
    std::string notes = "Release 1.0\nFixes everything.\n";
    // Solid picture size; 0 leaves meta/device.png out.
    int picture_w = 40;
    int picture_h = 30;
    std::uint32_t picture_rgb = 0xc02020;
    // Incompressible bytes carried along so that verification takes a while.
    std::size_t filler_bytes = 0;
    bool corrupt_payload = false;
};

// Where the partitions of every test package go (lun 0, 512-byte sectors).
constexpr std::uint64_t xbl_sector = 34;
constexpr std::uint64_t boot_sector = 64;
constexpr std::uint64_t userdata_sector = 128;
constexpr std::uint64_t patch_sector = 200;
constexpr std::uint32_t patch_value = 0x12345678;
constexpr unsigned sector_size = 512;

// Builds `out` (a .brp) from the layout; returns the partition images by label
// ("xbl", "boot_a", "userdata").
struct built_package {
    std::filesystem::path path;
    std::vector<std::uint8_t> xbl;
    std::vector<std::uint8_t> boot;
    std::vector<std::uint8_t> userdata;
};
built_package build_package(const std::filesystem::path& work_dir, const package_layout& layout);

// `count` bytes of lun image `image` from `sector` on (fewer if the file is shorter).
std::vector<std::uint8_t> read_sectors(const std::filesystem::path& image, std::uint64_t sector, std::size_t count);

} // namespace apptest
