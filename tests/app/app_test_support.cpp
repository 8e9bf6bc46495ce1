#include "app_test_support.h"

#include "byte_order.h"
#include "elf_image.h"
#include "message_box.h"
#include "test_package.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

#include <zlib.h>

#include <chrono>
#include <fstream>
#include <random>
#include <stdexcept>

namespace apptest {

namespace fs = std::filesystem;

namespace {
constexpr double pump_step_seconds = 0.01;
constexpr std::uint32_t programmer_segment_bytes = 3000;

std::vector<std::string> captured;

void record_message(const char* text)
{
    captured.emplace_back(text);
}

std::vector<std::uint8_t> random_bytes(std::size_t n, std::uint32_t seed)
{
    std::mt19937 gen(seed);
    std::vector<std::uint8_t> out(n);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(gen());
    return out;
}

void png_chunk(std::vector<std::uint8_t>& out, const char* type, const std::vector<std::uint8_t>& data)
{
    append_be32(out, static_cast<std::uint32_t>(data.size()));
    std::vector<std::uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    out.insert(out.end(), body.begin(), body.end());
    append_be32(out, static_cast<std::uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

// A solid-colour RGB PNG (colour type 2, 8 bits).
std::vector<std::uint8_t> solid_png(int w, int h, std::uint32_t rgb)
{
    std::vector<std::uint8_t> out{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<std::uint8_t> ihdr;
    append_be32(ihdr, static_cast<std::uint32_t>(w));
    append_be32(ihdr, static_cast<std::uint32_t>(h));
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
    png_chunk(out, "IHDR", ihdr);
    std::vector<std::uint8_t> raw;
    for (int y = 0; y < h; ++y) {
        raw.push_back(0);
        for (int x = 0; x < w; ++x)
            raw.insert(raw.end(), {static_cast<std::uint8_t>(rgb >> 16), static_cast<std::uint8_t>(rgb >> 8),
                                   static_cast<std::uint8_t>(rgb)});
    }
    uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
    std::vector<std::uint8_t> packed(packed_size);
    if (compress(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size())) != Z_OK)
        throw std::runtime_error("png: compress failed");
    packed.resize(packed_size);
    png_chunk(out, "IDAT", packed);
    png_chunk(out, "IEND", {});
    return out;
}

std::string text_of(const std::vector<std::uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}
} // namespace

bool pump_until(const std::function<bool()>& done, unsigned timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        Fl::wait(pump_step_seconds);
    }
    return true;
}

void pump_for(unsigned ms)
{
    pump_until([] { return false; }, ms);
}

std::uint32_t pixel_at(Fl_Window& window, int x, int y)
{
    Fl::flush();
    window.make_current();
    unsigned char rgb[3] = {};
    fl_read_image(rgb, x, y, 1, 1);
    return (std::uint32_t{rgb[0]} << 16) | (std::uint32_t{rgb[1]} << 8) | rgb[2];
}

namespace {
std::size_t count_colour(Fl_Window& window, int x, int y, int w, int h, std::uint32_t rgb)
{
    Fl::flush();
    window.make_current();
    std::vector<unsigned char> pixels(static_cast<std::size_t>(w) * h * 3);
    fl_read_image(pixels.data(), x, y, w, h);
    std::size_t count = 0;
    for (std::size_t i = 0; i + 2 < pixels.size(); i += 3) {
        std::uint32_t p = (std::uint32_t{pixels[i]} << 16) | (std::uint32_t{pixels[i + 1]} << 8) | pixels[i + 2];
        if (p == rgb)
            ++count;
    }
    return count;
}
} // namespace

bool area_has_colour(Fl_Window& window, int x, int y, int w, int h, std::uint32_t rgb)
{
    return count_colour(window, x, y, w, h, rgb) > 0;
}

bool area_is_uniform(Fl_Window& window, int x, int y, int w, int h, std::uint32_t rgb)
{
    return count_colour(window, x, y, w, h, rgb) == static_cast<std::size_t>(w) * h;
}

message_capture::message_capture()
{
    captured.clear();
    set_message_presenter(record_message);
}

message_capture::~message_capture()
{
    set_message_presenter(nullptr);
}

const std::vector<std::string>& message_capture::messages() const
{
    return captured;
}

void message_capture::clear()
{
    captured.clear();
}

built_package build_package(const fs::path& work_dir, const package_layout& layout)
{
    built_package built;
    built.xbl = random_bytes(1000, 1);         // shorter than its 8 sectors: the tail is zero
    built.boot = random_bytes(4096, 2);
    built.userdata = random_bytes(2048, 3);

    testsupport::package_folder folder;
    folder.code_name = "x1";
    folder.display_name = layout.display_name;
    folder.programmer_name = "programmer.elf";
    folder.programmer = testsupport::make_elf(false, {programmer_segment_bytes});
    folder.partitions = {
        {"xbl", "xbl.img", xbl_sector, 8, text_of(built.xbl)},
        {"boot_a", "boot.img", boot_sector, 16, text_of(built.boot)},
        {"userdata", "userdata.img", userdata_sector, 8, text_of(built.userdata)},
        {"misc", "", 150, 8, ""},
    };
    folder.patches = {
        {"DISK", 0, patch_sector, 0, 4, patch_value, "marker"},
        {"gpt_main0.bin", 0, 1, 0, 4, 0, "image only"},
    };
    folder.extra["meta/notes.txt"] = layout.notes;
    if (layout.picture_w > 0)
        folder.extra["meta/device.png"] = text_of(solid_png(layout.picture_w, layout.picture_h, layout.picture_rgb));
    if (layout.filler_bytes > 0)
        folder.extra["zz_filler.bin"] = text_of(random_bytes(layout.filler_bytes, 4));

    built.path = work_dir / "test.brp";
    testsupport::pack_folder(work_dir / "tree", built.path, folder.files());

    if (layout.corrupt_payload) {
        // Inside the first member's data (boot.img sorts first): the archive
        // still opens, but the digests no longer match.
        constexpr std::streamoff corrupt_at = 256 + 60;
        std::fstream f(built.path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekg(corrupt_at);
        char c = 0;
        f.read(&c, 1);
        c = static_cast<char>(c ^ 0x5a);
        f.seekp(corrupt_at);
        f.write(&c, 1);
    }
    return built;
}

std::vector<std::uint8_t> read_sectors(const fs::path& image, std::uint64_t sector, std::size_t count)
{
    std::ifstream in(image, std::ios::binary);
    std::vector<std::uint8_t> out(count);
    in.seekg(static_cast<std::streamoff>(sector * sector_size));
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(count));
    out.resize(static_cast<std::size_t>(in.gcount()));
    return out;
}

} // namespace apptest
