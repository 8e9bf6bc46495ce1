// Members of 4 GiB or more (zip64) as three independent writers make them:
// brv's packer, Python's zipfile and Info-ZIP's zip. The member is mostly
// zeros (a few MB compressed) with distinct bytes past the 4 GiB mark; it is
// made from a sparse file and read back through the streaming reader, so the
// test needs little disk and memory, only time (it deflates and inflates
// 4 GiB per writer).
#include "elf_image.h"
#include "brp_source.h"
#include "fwpkg.h"
#include "package_builder.h"
#include "usb.h"
#include "vhandset.h"
#include "package_test_support.h"
#include "scrozzler.h"
#include "test_package.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace pkgtest;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t four_gib = 1ull << 32;
constexpr std::uint64_t big_size = four_gib + 3 * 65536 + 123;
constexpr std::uint64_t marks_at = four_gib + 4096;
constexpr const char* big_name = "images/super.img";
constexpr const char* params_text = "device_display_name=Large\n";
const std::string tail = "TAIL!";

std::string marks()
{
    return pattern_bytes(65536, 42);
}

void write_at(int fd, const std::string& bytes, std::uint64_t offset)
{
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
}

// The folder every writer packs: the params and the sparse 4 GiB member.
void make_sources(const fs::path& src)
{
    write_file(src / "meta/params.txt", params_text);
    fs::create_directories(src / "images");
    const int fd = ::open((src / big_name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(big_size)), 0);
    write_at(fd, marks(), marks_at);
    write_at(fd, tail, big_size - tail.size());
    ::close(fd);
}

void run(const std::string& command)
{
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

std::string quoted(const fs::path& p)
{
    return "'" + p.string() + "'";
}

// Python's zipfile, streaming the member in and forcing zip64 as the format
// says a writer that does not know the size up front must.
void python_zip(const fs::path& src, const fs::path& out)
{
    const std::string script = "import sys, zipfile\n"
                               "src, out = sys.argv[1], sys.argv[2]\n"
                               "with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED, compresslevel=1) as z:\n"
                               "    z.write(src + '/meta/params.txt', 'meta/params.txt')\n"
                               "    info = zipfile.ZipInfo('images/super.img', (2020, 1, 1, 0, 0, 0))\n"
                               "    info.compress_type = zipfile.ZIP_DEFLATED\n"
                               "    with open(src + '/images/super.img', 'rb') as f, z.open(info, 'w', force_zip64=True) as w:\n"
                               "        while chunk := f.read(1 << 20):\n"
                               "            w.write(chunk)\n";
    write_file(out.parent_path() / "write.py", script);
    run(std::string(BRV_PYTHON3) + " " + quoted(out.parent_path() / "write.py") + " " + quoted(src) + " " + quoted(out));
}

void infozip_zip(const fs::path& src, const fs::path& out)
{
    run("cd " + quoted(src) + " && " + BRV_INFOZIP + " -q -1 -X " + quoted(out) + " meta/params.txt " + big_name);
}

// The plain archive inside a package, for looking at it with Python.
std::string payload_of(const fs::path& package)
{
    std::string payload = read_file(package).substr(256);
    const scrozzler key(65536, static_cast<std::uint32_t>(payload.size()));
    for (std::size_t off = 0; off < payload.size(); off += 65536)
        key.scramble(payload.data() + off, std::min<std::size_t>(65536, payload.size() - off));
    return payload;
}

// "name zip64" or "name plain" per member, from the central directory's extra fields.
std::string zip64_members(const fs::path& zip)
{
    const fs::path listing = zip.string() + ".txt";
    const std::string script = "import sys, struct, zipfile\n"
                               "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
                               "    ids, x = [], i.extra\n"
                               "    while len(x) >= 4:\n"
                               "        tag, n = struct.unpack('<HH', x[:4]); ids.append(tag); x = x[4 + n:]\n"
                               "    print(i.filename, 'zip64' if 1 in ids else 'plain')\n";
    write_file(zip.parent_path() / "list.py", script);
    run(std::string(BRV_PYTHON3) + " " + quoted(zip.parent_path() / "list.py") + " " + quoted(zip) + " > " +
        quoted(listing));
    return read_file(listing);
}

// Opens, lists, verifies and reads back the big member through the reader.
void check_package(const fs::path& package, const char* writer)
{
    fwpkg pkg;
    pkg.open(package.string());
    EXPECT_EQ(pkg.device_display_name(), "Large") << writer;
    bool listed = false;
    for (const member_info& m : pkg.members())
        if (m.name == big_name) {
            EXPECT_EQ(m.size, big_size) << writer;
            listed = true;
        }
    EXPECT_TRUE(listed) << writer;
    progress_recorder rec;
    EXPECT_TRUE(pkg.verify(rec)) << writer << ": " << pkg.verify_failure();

    member_reader reader = pkg.open_member(big_name);
    ASSERT_EQ(reader.size(), big_size) << writer;
    const std::string expected_marks = marks();
    std::string piece(1 << 20, '\0');
    std::string seen_marks;
    std::string seen_tail;
    std::uint64_t at = 0;
    while (std::size_t n = reader.read(reinterpret_cast<std::uint8_t*>(piece.data()), piece.size())) {
        // Keep the bytes that overlap the marks and the tail.
        const std::uint64_t end = at + n;
        const std::uint64_t marks_end = marks_at + expected_marks.size();
        if (end > marks_at && at < marks_end) {
            const std::uint64_t from = std::max(at, marks_at);
            seen_marks.append(piece, from - at, std::min(end, marks_end) - from);
        }
        if (end > big_size - tail.size()) {
            const std::uint64_t from = std::max(at, big_size - tail.size());
            seen_tail.append(piece, from - at, end - from);
        }
        at = end;
    }
    EXPECT_EQ(at, big_size) << writer;
    EXPECT_TRUE(seen_marks == expected_marks) << writer;
    EXPECT_EQ(seen_tail, tail) << writer;
}

class Zip64 : public ::testing::Test {
protected:
    void SetUp() override { make_sources(dir / "src"); }

    temp_dir dir;
};

TEST_F(Zip64, OurPackerWritesZip64OnlyForTheMemberThatNeedsIt)
{
    const fs::path package = dir / "ours.brp";
    pack_directory((dir / "src").string(), package.string());
    write_file(dir / "ours.zip", payload_of(package));
    EXPECT_EQ(zip64_members(dir / "ours.zip"), "images/super.img zip64\nmeta/params.txt plain\n");
    check_package(package, "brv pack");
}

TEST_F(Zip64, PythonZipfilePackageOpens)
{
    python_zip(dir / "src", dir / "python.zip");
    write_package(dir / "python.brp", read_file(dir / "python.zip"));
    check_package(dir / "python.brp", "Python zipfile");
}

TEST_F(Zip64, InfoZipPackageOpens)
{
    infozip_zip(dir / "src", dir / "infozip.zip");
    write_package(dir / "infozip.brp", read_file(dir / "infozip.zip"));
    check_package(dir / "infozip.brp", "Info-ZIP zip");
}

// The Python-written package flashed onto a virtual UFS handset: the partition
// holds the member byte for byte, its 4 GiB streamed in bounded pieces.
TEST_F(Zip64, PythonZipfilePackageFlashesOntoAUfsHandset)
{
    const fs::path src = dir / "src";
    const std::uint64_t sectors = (big_size + 4095) / 4096;
    const std::uint64_t start = 6;
    // The small members come from the shared builder; the 4 GiB image is the
    // sparse file already in src, which Python streams in itself.
    testsupport::package_folder folder;
    folder.display_name = "Large";
    folder.memory = "ufs";
    folder.sector_size = 4096;
    folder.programmer = testsupport::make_elf_from_segments(true, {pattern_bytes(5000, 7)});
    folder.partitions = {{"super", big_name, start, sectors, ""}};
    write_file(src / "flash/params.txt", folder.params());
    write_file(src / "flash/prog_firehose.elf", folder.programmer);
    write_file(src / "flash/rawprogram0.xml", folder.program_xml());
    write_file(src / "flash/patch0.xml", folder.patch_xml());
    const std::string script =
        "import sys, zipfile\n"
        "src, out = sys.argv[1], sys.argv[2]\n"
        "with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED, compresslevel=1) as z:\n"
        "    z.write(src + '/flash/params.txt', 'meta/params.txt')\n"
        "    for name in ('prog_firehose.elf', 'rawprogram0.xml', 'patch0.xml'):\n"
        "        z.write(src + '/flash/' + name, name)\n"
        "    info = zipfile.ZipInfo('images/super.img', (2020, 1, 1, 0, 0, 0))\n"
        "    info.compress_type = zipfile.ZIP_DEFLATED\n"
        "    with open(src + '/images/super.img', 'rb') as f, z.open(info, 'w', force_zip64=True) as w:\n"
        "        while chunk := f.read(1 << 20):\n"
        "            w.write(chunk)\n";
    write_file(dir / "flash.py", script);
    run(std::string(BRV_PYTHON3) + " " + quoted(dir / "flash.py") + " " + quoted(src) + " " + quoted(dir / "f.zip"));
    write_package(dir / "flash.brp", read_file(dir / "f.zip"));

    ::setenv("BRV_PROGRAMMER_WAIT_MS", "0", 1);
    vhandset::handset_options opts;
    opts.memory = "ufs";
    opts.disk_size = (start + sectors) * 4096 + (1 << 20);
    opts.disk_size = (opts.disk_size + 4095) / 4096 * 4096;
    const auto handset = vhandset::attach(opts, dir / "handset");
    fwpkg pkg;
    pkg.open((dir / "flash.brp").string());
    progress_recorder rec;
    const int handle = usb_open_vidpid(edl_vidpid, true);
    ASSERT_GE(handle, 0);
    EXPECT_NO_THROW(flash_package(pkg, handle, rec, {}));
    usb_close(handle);
    ASSERT_TRUE(handset->wait_detached(5000));

    // The LUN: the old zeros before the partition, then the member's bytes
    // (zeros, the marks past 4 GiB, the tail), then zeros to the partition's end.
    const int fd = ::open(handset->lun_image(0).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const int member = ::open((src / big_name).c_str(), O_RDONLY);
    ASSERT_GE(member, 0);
    std::string want(1 << 20, '\0');
    std::string got(1 << 20, '\0');
    std::uint64_t mismatches = 0;
    for (std::uint64_t at = 0; at < big_size; at += want.size()) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(want.size(), big_size - at));
        ASSERT_EQ(::pread(member, want.data(), n, static_cast<off_t>(at)), static_cast<ssize_t>(n));
        ASSERT_EQ(::pread(fd, got.data(), n, static_cast<off_t>(start * 4096 + at)), static_cast<ssize_t>(n));
        if (std::memcmp(want.data(), got.data(), n) != 0)
            ++mismatches;
    }
    ::close(member);
    ::close(fd);
    EXPECT_EQ(mismatches, 0u);
    vhandset::detach_all();
}

} // namespace
