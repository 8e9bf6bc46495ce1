// Host-side helpers for driving the handset firmware over a fake_link: a
// running handset in a scratch state directory, Sahara packet helpers, ELF
// programmer images, and a Firehose host that cuts the programmer's output
// into documents.
#pragma once

#include "fake_link.h"
#include "test_files.h"
#include "vhandset/firmware/firmware.h"

#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace vhtest {

// The firmware running on its own thread; unplugged and joined on destruction.
class running_handset {
public:
    explicit running_handset(const vhandset::handset_options& opts);
    ~running_handset();
    running_handset(const running_handset&) = delete;
    running_handset& operator=(const running_handset&) = delete;

    fake_link& link() { return link_; }
    const std::filesystem::path& dir() const { return dir_.path(); }
    std::vector<std::string> transcript() const { return vhandset::read_transcript(dir_.path()); }
    // Bytes of lunN.img at [offset, offset + len).
    bytes lun_bytes(unsigned lun, std::uint64_t offset, std::size_t len) const;
    std::uint64_t lun_size(unsigned lun) const;
    // Joins the firmware thread (after it left the bus by itself).
    bool finished_within(unsigned timeout_ms);

private:
    vhandset::handset_options opts_;
    testsupport::temp_dir dir_;
    fake_link link_;
    std::thread thread_;
    std::atomic<bool> done_{false};
};

// Sahara: packets as words.
bytes packet_bytes(const std::vector<std::uint32_t>& words);
std::vector<std::uint32_t> packet_words(const bytes& b);
bytes hello_resp(std::uint32_t version = 2, std::uint32_t compatible = 1, std::uint32_t status = 0,
                 std::uint32_t mode = 0);

struct read_request {
    std::uint32_t command = 0;      // 3 or 18
    std::size_t packet_size = 0;    // 20 or 32
    std::uint64_t image_id = 0;
    std::uint64_t offset = 0;
    std::uint64_t count = 0;
};

struct upload_result {
    std::vector<read_request> requests;
    bool ended = false;             // END_OF_IMAGE arrived
    std::uint32_t status = 0xffffffff;
};

// Serves the ROM's read requests from `image` until END_OF_IMAGE (or silence
// of `quiet_ms`). Requests outside the image are answered with nothing.
upload_result serve_image(fake_link& link, const bytes& image, unsigned quiet_ms = 2000);

// ELF programmer images: header, program header table right after it, then
// the segment data. Segments of `load_sizes` bytes are PT_LOAD; a PT_NOTE and a
// PT_LOAD without file bytes are added that a ROM must not fetch.
struct elf_fixture {
    bytes image;
    struct range {
        std::uint64_t offset, size;
    };
    std::vector<range> loads;       // the file ranges a ROM has to fetch
    std::uint64_t phoff = 0;
    std::uint64_t phdr_bytes = 0;
};
elf_fixture make_elf(bool is64, const std::vector<std::size_t>& load_sizes);

// Runs HELLO .. DONE_RESP with a small 32-bit programmer; the programmer then starts.
void boot_to_programmer(fake_link& link);

// Firehose host: requests and the programmer's documents.
struct fh_response {
    std::map<std::string, std::string> attrs;
    std::vector<std::string> logs;           // log values seen before the response
    std::string value() const { return attrs.count("value") ? attrs.at("value") : std::string(); }
    bool has(const std::string& k) const { return attrs.count(k) != 0; }
};

class firehose_host {
public:
    explicit firehose_host(fake_link& link) : link_(link) {}

    void send(const std::string& element);                    // wraps it in a request document
    // The next whole document, or "" when none completes within timeout_ms.
    std::string next_document(unsigned timeout_ms = 3000);
    // Documents until one holds a response; fails the test when none comes.
    fh_response response(unsigned timeout_ms = 3000);
    fh_response request(const std::string& element) { send(element); return response(); }
    // Exactly `n` raw bytes following the documents already cut.
    bytes raw(std::size_t n, std::vector<std::size_t>* pieces = nullptr, unsigned timeout_ms = 3000);
    // Reads and discards `count` start-up log documents.
    std::vector<std::string> startup(unsigned count);
    std::string& pending() { return rx_; }

private:
    bool fill(unsigned timeout_ms);
    fake_link& link_;
    std::string rx_;
};

std::map<std::string, std::string> xml_attributes_of(const std::string& element);
// The values of a document's log elements, with XML entities replaced.
std::vector<std::string> log_values(const std::string& document);
std::string xml_unescaped(const std::string& text);

} // namespace vhtest
