// A small libusb program for the end-to-end tests, linked against the real
// libusb and run under brv-vhandset:
//   probe list                 one line per device: ids, location, port path and strings
//   probe counts N1 N2 ...     waits for each count of 05c6:9008 devices in turn,
//                              printing "count N" as each is seen (10 s each at most)
//   probe hello                reads the first bulk IN transfer of 05c6:9008, prints it in hex
#include <libusb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr std::uint16_t vid = 0x05c6;
constexpr std::uint16_t pid = 0x9008;
constexpr int count_wait_ms = 10000;
constexpr int poll_ms = 20;

std::string text(libusb_device_handle* h, std::uint8_t index)
{
    unsigned char buf[256] = {};
    const int n = libusb_get_string_descriptor_ascii(h, index, buf, sizeof buf);
    return n < 0 ? std::string("(") + libusb_error_name(n) + ")" : std::string(reinterpret_cast<char*>(buf));
}

int list()
{
    libusb_device** devs = nullptr;
    const ssize_t n = libusb_get_device_list(nullptr, &devs);
    if (n < 0)
        return 1;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        libusb_get_device_descriptor(devs[i], &d);
        std::printf("%04x:%04x bus=%u port=%u address=%u", d.idVendor, d.idProduct, libusb_get_bus_number(devs[i]),
                    libusb_get_port_number(devs[i]), libusb_get_device_address(devs[i]));
        std::uint8_t path[8] = {};
        const int depth = libusb_get_port_numbers(devs[i], path, sizeof path);
        std::printf(" path=");
        for (int j = 0; j < depth; ++j)
            std::printf(j == 0 ? "%u" : ".%u", path[j]);
        libusb_device_handle* h = nullptr;
        if (libusb_open(devs[i], &h) == 0) {
            std::printf(" manufacturer=\"%s\" product=\"%s\" serial=\"%s\"", text(h, d.iManufacturer).c_str(),
                        text(h, d.iProduct).c_str(), text(h, d.iSerialNumber).c_str());
            libusb_close(h);
        }
        std::printf("\n");
    }
    libusb_free_device_list(devs, 1);
    return 0;
}

int count_handsets()
{
    libusb_device** devs = nullptr;
    const ssize_t n = libusb_get_device_list(nullptr, &devs);
    if (n < 0)
        return -1;
    int found = 0;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(devs[i], &d) == 0 && d.idVendor == vid && d.idProduct == pid)
            ++found;
    }
    libusb_free_device_list(devs, 1);
    return found;
}

int counts(int argc, char** argv)
{
    for (int i = 2; i < argc; ++i) {
        const int want = std::atoi(argv[i]);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(count_wait_ms);
        int have = count_handsets();
        while (have != want && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
            have = count_handsets();
        }
        std::printf("count %d\n", have);
        std::fflush(stdout);
        if (have != want)
            return 1;
    }
    return 0;
}

int hello()
{
    libusb_device_handle* h = libusb_open_device_with_vid_pid(nullptr, vid, pid);
    if (h == nullptr) {
        std::printf("no device\n");
        return 1;
    }
    int r = libusb_claim_interface(h, 0);
    unsigned char buf[65536];
    int n = 0;
    if (r == 0)
        r = libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &n, 2000);
    if (r != 0) {
        std::printf("error %s\n", libusb_error_name(r));
    } else {
        for (int i = 0; i < n; ++i)
            std::printf("%02x", buf[i]);
        std::printf("\n");
    }
    libusb_release_interface(h, 0);
    libusb_close(h);
    return r == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || libusb_init(nullptr) != 0)
        return 2;
    int rc = 2;
    if (std::strcmp(argv[1], "list") == 0)
        rc = list();
    else if (std::strcmp(argv[1], "counts") == 0)
        rc = counts(argc, argv);
    else if (std::strcmp(argv[1], "hello") == 0)
        rc = hello();
    libusb_exit(nullptr);
    return rc;
}
