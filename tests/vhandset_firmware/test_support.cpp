#include "test_support.h"

#include "byte_order.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace vhtest {

running_handset::running_handset(const vhandset::handset_options& opts)
    : opts_(opts), link_(opts.max_packet)
{
    thread_ = std::thread([this] {
        vhandset::run_firmware(link_, opts_, dir_.path());
        done_ = true;
    });
}

running_handset::~running_handset()
{
    link_.unplug();
    if (thread_.joinable())
        thread_.join();
}

bool running_handset::finished_within(unsigned timeout_ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done_ && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (done_ && thread_.joinable())
        thread_.join();
    return done_;
}

bytes running_handset::lun_bytes(unsigned lun, std::uint64_t offset, std::size_t len) const
{
    std::ifstream in(dir_.path() / ("lun" + std::to_string(lun) + ".img"), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    bytes b(len);
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(len));
    b.resize(static_cast<std::size_t>(in.gcount()));
    return b;
}

std::uint64_t running_handset::lun_size(unsigned lun) const
{
    return std::filesystem::file_size(dir_.path() / ("lun" + std::to_string(lun) + ".img"));
}

bytes packet_bytes(const std::vector<std::uint32_t>& words)
{
    bytes b;
    for (auto w : words)
        append_le32(b, w);
    return b;
}

std::vector<std::uint32_t> packet_words(const bytes& b)
{
    bytes padded = b;
    padded.resize((b.size() + 3) / 4 * 4, 0);
    std::vector<std::uint32_t> w;
    for (std::size_t at = 0; at < padded.size(); at += 4)
        w.push_back(load_le32(padded, at));
    return w;
}

bytes hello_resp(std::uint32_t version, std::uint32_t compatible, std::uint32_t status, std::uint32_t mode)
{
    std::vector<std::uint32_t> w(12, 0);
    w[0] = 2;
    w[1] = 48;
    w[2] = version;
    w[3] = compatible;
    w[4] = status;
    w[5] = mode;
    return packet_bytes(w);
}

upload_result serve_image(fake_link& link, const bytes& image, unsigned quiet_ms)
{
    upload_result r;
    for (;;) {
        auto pkt = link.host_read(quiet_ms);
        if (!pkt)
            return r;
        const auto w = packet_words(*pkt);
        if (w.size() < 2)
            return r;
        if (w[0] == 4) {
            r.ended = true;
            r.status = w.size() > 3 ? w[3] : 0xffffffff;
            return r;
        }
        read_request q;
        q.command = w[0];
        q.packet_size = pkt->size();
        if (w[0] == 3 && w.size() >= 5) {
            q.image_id = w[2];
            q.offset = w[3];
            q.count = w[4];
        } else if (w[0] == 18 && pkt->size() >= 32) {
            q.image_id = load_le64(*pkt, 8);
            q.offset = load_le64(*pkt, 16);
            q.count = load_le64(*pkt, 24);
        } else {
            return r;
        }
        r.requests.push_back(q);
        if (q.offset > image.size() || q.count > image.size() - q.offset)
            return r;
        link.host_write(image.data() + q.offset, static_cast<std::size_t>(q.count));
    }
}

namespace {

constexpr std::uint32_t pt_load = 1, pt_note = 4;

} // namespace

elf_fixture make_elf(bool is64, const std::vector<std::size_t>& load_sizes)
{
    elf_fixture f;
    const std::size_t eh = is64 ? 64 : 52, ph = is64 ? 56 : 32;
    const std::size_t phnum = load_sizes.size() + 2;
    f.phoff = eh;
    f.phdr_bytes = ph * phnum;
    struct seg {
        std::uint32_t type;
        std::uint64_t offset, filesz, memsz;
    };
    std::vector<seg> segs;
    std::uint64_t at = eh + f.phdr_bytes;
    segs.push_back({pt_note, at, 16, 16});
    at += 16;
    segs.push_back({pt_load, 0, 0, 4096});  // zero-initialised memory: nothing to fetch
    for (std::size_t s : load_sizes) {
        at = (at + 0xff) & ~std::uint64_t{0xff};  // segments start on 256-byte boundaries
        segs.push_back({pt_load, at, s, s + 64});
        f.loads.push_back({at, s});
        at += s;
    }
    f.image.assign(static_cast<std::size_t>(at), 0);
    for (std::size_t i = eh + f.phdr_bytes; i < f.image.size(); ++i)
        f.image[i] = static_cast<unsigned char>(i * 7 + 3);
    bytes& b = f.image;
    b[0] = 0x7f; b[1] = 'E'; b[2] = 'L'; b[3] = 'F';
    b[4] = is64 ? 2 : 1; b[5] = 1; b[6] = 1;
    store_le16(b, 16, 2);
    store_le16(b, 18, is64 ? 183 : 40);
    store_le32(b, 20, 1);
    if (is64) {
        store_le64(b, 32, f.phoff);
        store_le16(b, 52, eh);
        store_le16(b, 54, ph);
        store_le16(b, 56, phnum);
    } else {
        store_le32(b, 28, f.phoff);
        store_le16(b, 40, eh);
        store_le16(b, 42, ph);
        store_le16(b, 44, phnum);
    }
    for (std::size_t i = 0; i < segs.size(); ++i) {
        const std::size_t p = f.phoff + i * ph;
        store_le32(b, p, segs[i].type);
        if (is64) {
            store_le64(b, p + 8, segs[i].offset);
            store_le64(b, p + 32, segs[i].filesz);
            store_le64(b, p + 40, segs[i].memsz);
        } else {
            store_le32(b, p + 4, segs[i].offset);
            store_le32(b, p + 16, segs[i].filesz);
            store_le32(b, p + 20, segs[i].memsz);
        }
    }
    return f;
}

void boot_to_programmer(fake_link& link)
{
    ASSERT_TRUE(link.host_read()) << "no HELLO";
    link.host_write(hello_resp());
    const auto up = serve_image(link, make_elf(false, {100}).image);
    ASSERT_TRUE(up.ended);
    ASSERT_EQ(up.status, 0u);
    link.host_write(packet_bytes({5, 8}));
    const auto done = link.host_read();
    ASSERT_TRUE(done);
    ASSERT_EQ(packet_words(*done)[0], 6u);
}

void firehose_host::send(const std::string& element)
{
    link_.host_write("<?xml version=\"1.0\" ?>\n<data>\n" + element + "\n</data>\n");
}

bool firehose_host::fill(unsigned timeout_ms)
{
    auto b = link_.host_read(timeout_ms);
    if (!b)
        return false;
    rx_.append(b->begin(), b->end());
    return true;
}

std::string firehose_host::next_document(unsigned timeout_ms)
{
    for (;;) {
        const auto end = rx_.find("</data>");
        if (end != std::string::npos) {
            std::string doc = rx_.substr(0, end + 7);
            rx_.erase(0, end + 7);
            return doc;
        }
        if (!fill(timeout_ms))
            return {};
    }
}

fh_response firehose_host::response(unsigned timeout_ms)
{
    fh_response r;
    for (;;) {
        const std::string doc = next_document(timeout_ms);
        if (doc.empty()) {
            ADD_FAILURE() << "no response from the programmer";
            return r;
        }
        EXPECT_EQ(doc.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<data>", 0), 0u) << doc;
        for (auto& l : log_values(doc))
            r.logs.push_back(l);
        const auto at = doc.find("<response ");
        if (at != std::string::npos) {
            r.attrs = xml_attributes_of(doc.substr(at, doc.find("/>", at) - at));
            return r;
        }
    }
}

bytes firehose_host::raw(std::size_t n, std::vector<std::size_t>* pieces, unsigned timeout_ms)
{
    bytes out(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(std::min(n, rx_.size())));
    rx_.erase(0, out.size());
    while (out.size() < n) {
        auto b = link_.host_read(timeout_ms);
        if (!b)
            break;
        if (pieces)
            pieces->push_back(b->size());
        const std::size_t take = std::min(n - out.size(), b->size());
        out.insert(out.end(), b->begin(), b->begin() + static_cast<std::ptrdiff_t>(take));
        rx_.append(b->begin() + static_cast<std::ptrdiff_t>(take), b->end());
    }
    return out;
}

std::vector<std::string> firehose_host::startup(unsigned count)
{
    std::vector<std::string> docs;
    for (unsigned i = 0; i < count; ++i)
        docs.push_back(next_document());
    return docs;
}

std::map<std::string, std::string> xml_attributes_of(const std::string& element)
{
    // name="value" pairs; the programmer never puts a quote inside a value.
    std::map<std::string, std::string> m;
    std::size_t at = 0;
    for (;;) {
        const auto eq = element.find("=\"", at);
        if (eq == std::string::npos)
            return m;
        auto name_start = element.rfind(' ', eq);
        name_start = name_start == std::string::npos ? 0 : name_start + 1;
        const auto close = element.find('"', eq + 2);
        if (close == std::string::npos)
            return m;
        m[element.substr(name_start, eq - name_start)] = element.substr(eq + 2, close - eq - 2);
        at = close + 1;
    }
}

std::string xml_unescaped(const std::string& text)
{
    static const std::pair<const char*, char> entities[] = {{"&quot;", '"'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}};
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        bool replaced = false;
        for (const auto& [entity, c] : entities) {
            if (text.compare(at, std::strlen(entity), entity) == 0) {
                out += c;
                at += std::strlen(entity);
                replaced = true;
                break;
            }
        }
        if (!replaced)
            out += text[at++];
    }
    return out;
}

std::vector<std::string> log_values(const std::string& document)
{
    std::vector<std::string> v;
    const std::string open = "<log value=\"";
    for (auto at = document.find(open); at != std::string::npos; at = document.find(open, at + 1)) {
        const auto start = at + open.size();
        v.push_back(xml_unescaped(document.substr(start, document.find('"', start) - start)));
    }
    return v;
}

} // namespace vhtest
