#include "handset_fixture.h"

#include "byte_order.h"
#include "elf_image.h"

#include <cerrno>

namespace usbtest {

namespace {

constexpr std::size_t header_words = 2;
constexpr std::size_t word_size = 4;
constexpr std::uint32_t host_version = 2;
constexpr std::uint32_t host_version_compatible = 1;
constexpr std::uint64_t small_disk = 1 << 20;
constexpr std::uint32_t greeting_timeout_ms = 1000;

std::vector<std::uint8_t> packet(std::uint32_t id, const std::vector<std::uint32_t>& params, std::size_t length)
{
    std::vector<std::uint8_t> out;
    append_le32(out, id);
    append_le32(out, static_cast<std::uint32_t>(length));
    for (std::uint32_t p : params)
        append_le32(out, p);
    out.resize(length, 0);
    return out;
}

constexpr std::uint32_t cmd_read_data = 3;
constexpr std::uint32_t cmd_end_of_image = 4;
constexpr std::uint32_t cmd_done = 5;
constexpr std::uint32_t cmd_done_resp = 6;
constexpr std::uint32_t mode_image_transfer = 0;
constexpr std::size_t read_data_size = 20;
constexpr std::size_t end_of_image_size = 16;
constexpr std::uint32_t done_size = 8;
constexpr std::uint32_t done_resp_size = 12;
constexpr std::uint32_t boot_timeout_ms = 2000;
constexpr std::uint32_t settle_timeout_ms = 300;
constexpr std::uint32_t tiny_segment_size = 16;

} // namespace

std::uint32_t word_at(const std::uint8_t* bytes, std::size_t index)
{
    return load_le32(bytes + index * word_size);
}

std::vector<std::uint8_t> hello_response(std::uint32_t mode)
{
    return packet(cmd_hello_resp, {host_version, host_version_compatible, 0, mode}, hello_size);
}

std::vector<std::uint8_t> memory_read_request(std::uint32_t address, std::uint32_t length)
{
    return packet(cmd_memory_read, {address, length}, (header_words + 2) * word_size);
}

long elapsed_ms(clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - since).count());
}

void handset_test::TearDown()
{
    for (int h = 0; h < usb_max_devices; ++h)
        usb_close(h);
    vhandset::detach_all();
}

vhandset::handset_options handset_test::debug_options()
{
    vhandset::handset_options o;
    o.memory = "emmc";
    o.disk_size = small_disk;
    o.sahara_mode = mode_memory_debug;
    return o;
}

std::shared_ptr<vhandset::handset> handset_test::attach(const vhandset::handset_options& opts)
{
    return vhandset::attach(opts, root_ / ("h" + std::to_string(next_dir_++)));
}

vhandset::handset_options handset_test::programmer_options()
{
    auto o = debug_options();
    o.sahara_mode = mode_image_transfer;
    return o;
}

void handset_test::boot_programmer(int handle, int pipe)
{
    const auto resp = hello_response(mode_image_transfer);
    ASSERT_EQ(usb_write(handle, pipe, resp.data(), resp.size()), static_cast<long>(resp.size()));
    ASSERT_TRUE(usb_set_timeout(handle, pipe, boot_timeout_ms));
    // The smallest image a boot ROM accepts: one loadable 16-byte segment.
    const std::string image = testsupport::make_elf(false, {tiny_segment_size});
    for (;;) {
        std::uint8_t request[read_data_size] = {};
        const long n = usb_read(handle, pipe, request, sizeof request);
        ASSERT_GT(n, 0) << "errno " << errno;
        if (word_at(request, 0) == cmd_end_of_image) {
            ASSERT_EQ(n, static_cast<long>(end_of_image_size));
            ASSERT_EQ(word_at(request, 3), 0u) << "the boot ROM refused the image";
            break;
        }
        ASSERT_EQ(word_at(request, 0), cmd_read_data);
        const std::uint32_t offset = word_at(request, 3), count = word_at(request, 4);
        ASSERT_LE(std::size_t{offset} + count, image.size());
        ASSERT_EQ(usb_write(handle, pipe, image.data() + offset, count), static_cast<long>(count));
    }
    const std::uint8_t done[done_size] = {cmd_done, 0, 0, 0, done_size, 0, 0, 0};
    ASSERT_EQ(usb_write(handle, pipe, done, sizeof done), static_cast<long>(sizeof done));
    std::uint8_t reply[done_resp_size] = {};
    ASSERT_EQ(usb_read(handle, pipe, reply, sizeof reply), static_cast<long>(done_resp_size));
    ASSERT_EQ(word_at(reply, 0), cmd_done_resp);
    // The programmer greets with a few log documents; they are of no interest here.
    ASSERT_TRUE(usb_set_timeout(handle, pipe, settle_timeout_ms));
    ASSERT_TRUE(usb_drain(handle, pipe));
}

void handset_test::open_and_greet(int* handle, int* pipe)
{
    *handle = usb_open_vidpid(edl_vidpid, true);
    ASSERT_GE(*handle, 0) << "errno " << errno;
    *pipe = usb_open_pipe(*handle, download_interface);
    ASSERT_GE(*pipe, 0) << "errno " << errno;
    ASSERT_TRUE(usb_set_timeout(*handle, *pipe, greeting_timeout_ms));
    std::uint8_t hello[hello_size] = {};
    ASSERT_EQ(usb_read(*handle, *pipe, hello, sizeof hello), static_cast<long>(hello_size)) << "errno " << errno;
    ASSERT_EQ(word_at(hello, 0), cmd_hello);
}

void handset_test::enter_memory_debug(int handle, int pipe)
{
    const auto resp = hello_response(mode_memory_debug);
    ASSERT_EQ(usb_write(handle, pipe, resp.data(), resp.size()), static_cast<long>(resp.size()));
    std::uint8_t region[memory_debug_size] = {};
    ASSERT_EQ(usb_read(handle, pipe, region, sizeof region), static_cast<long>(memory_debug_size));
    ASSERT_EQ(word_at(region, 0), cmd_memory_debug);
}

void handset_test::request_memory(int handle, int pipe, std::uint32_t length, std::uint32_t offset)
{
    const auto req = memory_read_request(debug_region + offset, length);
    ASSERT_EQ(usb_write(handle, pipe, req.data(), req.size()), static_cast<long>(req.size()));
}

} // namespace usbtest
