// The package file: header checks, verification, the descrambling window
// behind the archive, and member reads.
#include "fwpkg.h"
#include "package_stream.h"
#include "package_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>

using namespace pkgtest;

namespace {

constexpr const char* params_text =
    "device_code_name=tern\n"
    "device_display_name=Tern One\n"
    "device_memory_type=emmc\n"
    "device_sector_size=512\n"
    "firehose_filename=prog.elf\n"
    "program_filename=rawprogram0.xml\n"
    "patch_filename=patch0.xml\n";

std::vector<zip_member> basic_members()
{
    return {{"meta/params.txt", params_text},
            {"meta/device.png", pattern_bytes(700, 1)},
            {"meta/notes.txt", "Release 1\n"},
            {"images/small.bin", pattern_bytes(1000, 2)},
            // Stored and larger than a block: its bytes cross window boundaries.
            {"images/big.bin", pattern_bytes(300000, 3), false}};
}

std::string open_error(fwpkg& pkg, const std::string& path)
{
    return error_text([&] { pkg.open(path); });
}

std::string read_error(fwpkg& pkg, const std::string& name, std::uint64_t bound)
{
    return error_text([&] { pkg.read_file(name, bound); });
}

std::string as_string(const buffer& b)
{
    return std::string(reinterpret_cast<const char*>(b.c_ptr()), b.size());
}

class Container : public ::testing::Test {
protected:
    std::string package(const std::string& name, const std::string& payload, const header_tweak& tweak = {})
    {
        const auto path = dir / name;
        write_package(path, payload, tweak);
        return path.string();
    }

    temp_dir dir;
    log_capture log;
    fwpkg pkg;
};

TEST_F(Container, BrokenHeadersAreRefusedAndLeaveThePackageClosed)
{
    const std::string good_zip = make_zip(basic_members());
    struct broken {
        const char* name;
        header_tweak tweak;
        const char* line;
        const char* reason;
    };
    const broken cases[] = {
        {"ext.brp", {.bad_external_magic = true}, "I:bad external magic\n", "bad external magic: not a .brp package"},
        {"int.brp", {.bad_internal_magic = true}, "I:bad internal magic\n", "bad internal magic: the header is damaged"},
        {"ver.brp", {.version = 0x00020000}, "I:bad version\n", "bad version: 0x00020000, this program reads 0x00010000"},
        {"long.brp", {.length_delta = 1}, "I:data length mismatch\n", "data length mismatch: the header says "},
        {"short.brp", {.length_delta = -1}, "I:data length mismatch\n", "data length mismatch: the header says "},
    };
    for (const broken& c : cases) {
        log.clear();
        // The user reads why, not only that the header is bad.
        EXPECT_EQ(open_error(pkg, package(c.name, good_zip, c.tweak)).rfind(std::string("fwpkg: bad file header (") + c.reason, 0), 0u) << c.name;
        EXPECT_TRUE(log.has(c.line)) << c.name;
        EXPECT_FALSE(pkg.is_open()) << c.name;
        EXPECT_EQ(pkg.header().version, 0u);
    }

    write_file(dir / "tiny.brp", std::string("BRV\0", 4) + std::string(96, 'x'));
    log.clear();
    EXPECT_EQ(open_error(pkg, (dir / "tiny.brp").string()),
              "fwpkg: bad file header (failed to read header: the file holds 100 bytes, fewer than 256)");
    EXPECT_TRUE(log.has("I:failed to read header\n"));
    EXPECT_FALSE(pkg.is_open());

    // After every refusal a good package still opens.
    pkg.open(package("good.brp", good_zip));
    EXPECT_TRUE(pkg.is_open());
    EXPECT_EQ(pkg.header().data_length, good_zip.size());
}

TEST_F(Container, OpenFailuresOfTheFileAndOfTheCaller)
{
    const std::string error = open_error(pkg, (dir / "missing.brp").string());
    EXPECT_EQ(error, std::string("file: cannot open: ") + std::strerror(ENOENT));
    EXPECT_FALSE(pkg.is_open());

    const std::string path = package("a.brp", make_zip(basic_members()));
    pkg.open(path);
    EXPECT_EQ(open_error(pkg, path), "fwpkg: already open");
    EXPECT_TRUE(pkg.is_open());
    pkg.close();
    EXPECT_FALSE(pkg.is_open());
    EXPECT_EQ(pkg.header().data_length, 0u);
    EXPECT_EQ(read_error(pkg, "meta/notes.txt", 0), "Invalid package: cannot read meta/notes.txt");
    progress_recorder closed;
    EXPECT_FALSE(pkg.verify(closed));
    EXPECT_EQ(closed.started_calls(), 0u);
    pkg.open(path);
    EXPECT_EQ(as_string(pkg.read_file("meta/notes.txt", 0)), "Release 1\n");
}

TEST_F(Container, WhatIsNotAFileIsRefusedAtOnce)
{
    // Opening a FIFO would wait for a writer that never comes.
    ASSERT_EQ(::mkfifo((dir / "fifo.brp").c_str(), 0600), 0);
    std::filesystem::create_directories(dir / "folder.brp");
    const std::pair<std::string, const char*> cases[] = {
        {(dir / "fifo.brp").string(), "fwpkg: not a regular file (a FIFO)"},
        {(dir / "folder.brp").string(), "fwpkg: not a regular file (a directory)"},
        {"/dev/zero", "fwpkg: not a regular file (a character device)"},
    };
    for (const auto& [path, message] : cases) {
        EXPECT_EQ(open_error(pkg, path), message);
        EXPECT_FALSE(pkg.is_open());
    }
}

TEST_F(Container, EmptyStoredMembersAndFolderEntriesAreWhatTheyAre)
{
    // Other writers store an empty file without data, and a folder as an
    // entry of its own.
    std::vector<zip_member> members = basic_members();
    members.push_back({"images/", "", false});
    members.push_back({"images/empty.img", "", false});
    pkg.open(package("p.brp", make_zip(members)));
    EXPECT_EQ(as_string(pkg.read_file("images/empty.img", 0)), "");
    EXPECT_EQ(as_string(pkg.read_file("images/empty.img", 512)), std::string(512, '\0'));
    EXPECT_EQ(read_error(pkg, "images/", 0), "Invalid package: images/ is a folder of the archive, not a file");
    progress_recorder rec;
    EXPECT_TRUE(pkg.verify(rec)) << pkg.verify_failure();
}

TEST_F(Container, PayloadThatIsNotAZipOpensWithoutArchiveAndFailsVerification)
{
    for (const std::string& payload : {pattern_bytes(5000, 9), std::string()}) {
        log.clear();
        pkg.close();
        pkg.open(package("junk.brp", payload));
        EXPECT_TRUE(log.has("E:fwpkg: failed to open zip\n")) << payload.size();
        EXPECT_TRUE(pkg.is_open());
        // Every use of a member says what is wrong with the payload, not that
        // one member is missing.
        EXPECT_EQ(read_error(pkg, "meta/params.txt", 0).rfind("fwpkg: the payload is not a zip archive (", 0), 0u);
        progress_recorder rec;
        EXPECT_FALSE(pkg.verify(rec));
        // The digests were checked: the user learns the payload itself is wrong.
        EXPECT_EQ(pkg.verify_failure(), "the digests match, but the payload is not a zip archive");
    }
}

TEST_F(Container, VerifyAcceptsTheDigestsAndReportsByteProgress)
{
    const std::string payload = make_zip(basic_members());
    pkg.open(package("p.brp", payload));
    progress_recorder rec;
    EXPECT_TRUE(pkg.verify(rec));
    EXPECT_EQ(rec.max_seen(), payload.size());
    EXPECT_EQ(rec.values().back(), payload.size());
    EXPECT_EQ(rec.messages(), std::vector<std::string>{"Verifying package"});
    EXPECT_EQ(rec.started_calls(), 1u);
    EXPECT_EQ(rec.finished_calls(), 1u);
    // Members read after a verification pass are intact.
    EXPECT_EQ(as_string(pkg.read_file("images/big.bin", 0)), pattern_bytes(300000, 3));
}

TEST_F(Container, VerifyDetectsAnyChangedByteWithMd5First)
{
    const std::string payload = make_zip(basic_members());
    // Bytes of the stored member that opening does not read: first, middle, last.
    const std::size_t big_at = payload.find(pattern_bytes(300000, 3).substr(0, 64));
    ASSERT_NE(big_at, std::string::npos);
    for (std::size_t at : {big_at, big_at + 150000, big_at + 299999}) {
        // The header carries the digests of the original payload.
        const std::string path = package("flip.brp", payload);
        std::string file_bytes = read_file(path);
        file_bytes[256 + at] = static_cast<char>(file_bytes[256 + at] ^ 0x40);
        write_file(path, file_bytes);

        log.clear();
        fwpkg p;
        p.open(path);
        progress_recorder rec;
        EXPECT_FALSE(p.verify(rec)) << at;
        EXPECT_TRUE(log.has("I:md5 mismatch\n")) << at;
        EXPECT_FALSE(log.has("I:sha256 mismatch\n")) << at;
        EXPECT_EQ(p.verify_failure(), "MD5 mismatch");
    }

    log.clear();
    pkg.open(package("sha.brp", payload, {.bad_sha256 = true}));
    progress_recorder rec;
    EXPECT_FALSE(pkg.verify(rec));
    EXPECT_TRUE(log.has("I:sha256 mismatch\n"));
    EXPECT_FALSE(log.has("I:md5 mismatch\n"));
    EXPECT_EQ(pkg.verify_failure(), "SHA-256 mismatch");
}

TEST_F(Container, WholeBlockPayloadIsVerifiedInFullChunksOnly)
{
    constexpr std::size_t blocks = 3;
    const std::string payload = make_zip({{"meta/params.txt", params_text}, {"fill.bin", pattern_bytes(150000, 4), false}},
                                         blocks * fwpkg_window_size);
    ASSERT_EQ(payload.size(), blocks * fwpkg_window_size);
    pkg.open(package("k.brp", payload));
    progress_recorder rec;
    ASSERT_TRUE(pkg.verify(rec));
    // One notification for the message, then one per chunk, each a full block.
    const std::vector<std::uint64_t> expected{0, 65536, 131072, 196608};
    EXPECT_EQ(rec.values(), expected);
    EXPECT_EQ(as_string(pkg.read_file("fill.bin", 0)), pattern_bytes(150000, 4));
}

TEST_F(Container, FileShortenedAfterOpenFailsVerification)
{
    const std::string payload =
        make_zip({{"meta/params.txt", params_text}, {"fill.bin", pattern_bytes(90000, 8), false}}, 100000);
    const std::string path = package("cut.brp", payload);
    pkg.open(path);
    std::filesystem::resize_file(path, 256 + 70000);
    progress_recorder rec;
    EXPECT_FALSE(pkg.verify(rec));
    EXPECT_TRUE(log.has("I:Failed to read 34464 bytes at 65536\n"));
    EXPECT_EQ(pkg.verify_failure().rfind("short read at offset 65536", 0), 0u) << pkg.verify_failure();
    EXPECT_EQ(rec.finished_calls(), 1u);
}

TEST_F(Container, CancelStopsVerificationAndASecondOperationIsRefused)
{
    const std::string payload = make_zip({{"meta/params.txt", params_text}, {"fill.bin", pattern_bytes(200000, 5), false}});
    pkg.open(package("c.brp", payload));

    progress_recorder rec;
    std::string nested_error;
    rec.on_change([&] {
        progress_recorder inner;
        try {
            pkg.verify(inner);
        } catch (const std::runtime_error& e) {
            nested_error = e.what();
        }
        pkg.cancel();
    });
    EXPECT_FALSE(pkg.verify(rec));
    EXPECT_EQ(nested_error, "Object in use");
    // Stopped after the first chunk: the message, one chunk, then the jump to 100 %.
    const std::vector<std::uint64_t> expected{0, 65536, payload.size()};
    EXPECT_EQ(rec.values(), expected);
    EXPECT_EQ(rec.finished_calls(), 1u);

    // The guard is released: the next verification runs to the end.
    progress_recorder again;
    EXPECT_TRUE(pkg.verify(again));
}

TEST_F(Container, ReadFileBoundsPaddingAndCase)
{
    pkg.open(package("r.brp", make_zip(basic_members())));
    const std::string small = pattern_bytes(1000, 2);

    EXPECT_EQ(as_string(pkg.read_file("images/small.bin", 0)), small);
    const buffer padded = pkg.read_file("images/small.bin", 4096);
    ASSERT_EQ(padded.size(), 4096u);
    EXPECT_EQ(as_string(padded).substr(0, 1000), small);
    EXPECT_EQ(as_string(padded).substr(1000), std::string(3096, '\0'));
    EXPECT_EQ(pkg.read_file("images/small.bin", 1000).size(), 1000u);

    EXPECT_EQ(read_error(pkg, "images/small.bin", 512), "buffer too small for file");
    EXPECT_EQ(read_error(pkg, "images/SMALL.bin", 0), "Invalid package: cannot read images/SMALL.bin");
    EXPECT_EQ(read_error(pkg, "nothing", 0), "Invalid package: cannot read nothing");
    EXPECT_EQ(as_string(pkg.read_file("images/big.bin", 0)), pattern_bytes(300000, 3));
}

// Reads a member to its end in pieces of `piece` bytes through the streaming
// reader and tells what a consumer would have seen.
struct drained {
    std::string bytes;
    std::string error;  // empty when the reader came to its end
};

drained drain(fwpkg& pkg, const std::string& name, std::size_t piece)
{
    drained d;
    try {
        member_reader r = pkg.open_member(name);
        std::string chunk(piece, '\0');
        while (std::size_t n = r.read(reinterpret_cast<std::uint8_t*>(chunk.data()), piece))
            d.bytes.append(chunk, 0, n);
        EXPECT_EQ(d.bytes.size(), r.size()) << name;
        EXPECT_EQ(r.read(reinterpret_cast<std::uint8_t*>(chunk.data()), piece), 0u) << name;
    } catch (const std::runtime_error& e) {
        d.error = e.what();
    }
    return d;
}

TEST_F(Container, ReaderDeliversTheMemberInAnyPiecesAndStopsAtItsEnd)
{
    pkg.open(package("r.brp", make_zip(basic_members())));
    for (std::size_t piece : {1u, 4093u, 65536u, 1u << 20}) {
        const drained d = drain(pkg, "images/big.bin", piece);
        EXPECT_EQ(d.error, "") << piece;
        EXPECT_TRUE(d.bytes == pattern_bytes(300000, 3)) << piece;
    }
    const drained small = drain(pkg, "images/small.bin", 333);
    EXPECT_TRUE(small.bytes == pattern_bytes(1000, 2));
    EXPECT_EQ(pkg.member_size("images/big.bin"), 300000u);
    EXPECT_EQ(drain(pkg, "images/SMALL.bin", 10).error, "Invalid package: cannot read images/SMALL.bin");
}

TEST_F(Container, DamagedMembersAreErrorsAndTheirLastBytesNeverArrive)
{
    const std::string image = pattern_bytes(20000, 7) + std::string(200000, 'a');
    auto zip = [](const zip_member& m) { return make_zip({{"meta/params.txt", params_text}, m}); };
    std::string damaged_deflate = zip({"img.bin", image});
    // Garbage in the middle of the member's deflate stream.
    const std::size_t data_at = damaged_deflate.find("img.bin") + 7;
    for (std::size_t i = 0; i < 64; ++i)
        damaged_deflate[data_at + 5000 + i] = static_cast<char>(0xff);

    // Each message starts "fwpkg: corrupt member img.bin"; where a reason can be
    // told exactly, the whole message is given.
    struct damage {
        const char* what;
        std::string zip;
        const char* exact;
    };
    const damage cases[] = {
        {"crc", zip({"img.bin", image, true, true}), "fwpkg: corrupt member img.bin"},
        {"stored crc", zip({"img.bin", image, false, true}), "fwpkg: corrupt member img.bin"},
        {"local header", zip({"img.bin", image, true, false, true}), "fwpkg: corrupt member img.bin: damaged local header"},
        {"cut deflate stream", zip({"img.bin", image, true, false, false, true}), nullptr},
        {"damaged deflate stream", damaged_deflate, nullptr},
        {"directory says less", zip({"img.bin", image, true, false, false, false, 1000}),
         "fwpkg: corrupt member img.bin: it holds more than the 1000 bytes its directory entry gives"},
        {"directory says more", zip({"img.bin", image, true, false, false, false, image.size() + 1}),
         "fwpkg: corrupt member img.bin: it ends after 220000 of 220001 bytes"},
    };
    const std::string prefix = "fwpkg: corrupt member img.bin";
    for (const damage& c : cases) {
        fwpkg p;
        p.open(package("damaged.brp", c.zip));
        for (std::size_t piece : {4096u, 1u << 20}) {
            const drained d = drain(p, "img.bin", piece);
            EXPECT_EQ(d.error.rfind(prefix, 0), 0u) << c.what << ": " << d.error;
            if (c.exact != nullptr) {
                EXPECT_EQ(d.error, c.exact) << c.what;
            }
            // Whatever came before the error, the member's end was never handed out.
            EXPECT_LT(d.bytes.size(), std::min<std::size_t>(image.size(), p.member_size("img.bin"))) << c.what;
        }
        const std::string whole = read_error(p, "img.bin", 0);
        EXPECT_EQ(whole.rfind(prefix, 0), 0u) << c.what << ": " << whole;
    }
}

TEST_F(Container, DuplicateMemberNamesRefuseThePackage)
{
    const std::string path =
        package("dup.brp", make_zip({{"meta/params.txt", params_text}, {"a.bin", "one"}, {"a.bin", "two"}}));
    EXPECT_EQ(open_error(pkg, path), "fwpkg: duplicate member a.bin: the archive holds two members of that name");
}

TEST_F(Container, ReaderOutlivingItsPackageFailsInsteadOfReadingFreedMemory)
{
    pkg.open(package("r.brp", make_zip(basic_members())));
    member_reader r = pkg.open_member("images/big.bin");
    std::uint8_t b[100];
    ASSERT_EQ(r.read(b, sizeof b), sizeof b);
    member_reader moved = std::move(r);
    pkg.close();
    try {
        moved.read(b, sizeof b);
        ADD_FAILURE() << "read after close";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "fwpkg: not open");
    }
}

TEST_F(Container, PackageWrittenByTheMinizipPackerStillOpens)
{
    // Packed by brv before the archive layer moved to libzip; kept as it was written.
    pkg.open(std::string(BRV_PACKAGE_FIXTURES) + "/old_packer.brp");
    progress_recorder rec;
    EXPECT_TRUE(pkg.verify(rec)) << pkg.verify_failure();
    EXPECT_EQ(pkg.device_display_name(), "Heron Old Packer");
    EXPECT_EQ(pkg.device_sector_size(), 512u);
    EXPECT_EQ(as_string(pkg.package_notes()), "Packed by the minizip packer\nsecond line\n");
    std::vector<std::string> names;
    for (const member_info& m : pkg.members())
        names.push_back(m.name + ":" + std::to_string(m.size));
    const std::vector<std::string> expected{"empty.txt:0",         "images/boot.img:68000",   "images/zeros.img:70000",
                                            "meta/device.png:28",  "meta/notes.txt:41",       "meta/params.txt:208",
                                            "patch0.xml:44",       "prog_firehose_heron.elf:2000", "rawprogram0.xml:38"};
    EXPECT_EQ(names, expected);
    // Read through to the end, so every CRC is checked.
    for (const char* name : {"images/boot.img", "prog_firehose_heron.elf", "empty.txt"})
        EXPECT_EQ(drain(pkg, name, 65536).error, "") << name;
    EXPECT_TRUE(as_string(pkg.read_file("images/zeros.img", 0)) == std::string(70000, '\0'));
}

// The read window seen through the zip source libzip reads the archive from.
class Stream : public ::testing::Test {
protected:
    void open_stream(const std::string& payload)
    {
        plain = payload;
        const auto path = dir / "s.brp";
        write_package(path, payload);
        s = std::make_unique<package_stream>();
        s->f.open_existing(path.string(), true);
        s->scrambler.set_key(fwpkg_window_size, static_cast<std::uint32_t>(payload.size()));
        s->data_size = payload.size();
        source = package_stream_source(*s, nullptr);
        ASSERT_NE(source, nullptr);
        ASSERT_EQ(zip_source_open(source), 0);
    }

    void TearDown() override { zip_source_free(source); }

    std::string read(std::size_t n)
    {
        std::string out(n, '\0');
        const zip_int64_t got = zip_source_read(source, out.data(), n);
        out.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
        return out;
    }

    int seek(std::int64_t offset, int whence) { return zip_source_seek(source, offset, whence); }

    std::int64_t tell() { return zip_source_tell(source); }

    temp_dir dir;
    std::string plain;
    std::unique_ptr<package_stream> s;
    zip_source_t* source = nullptr;
};

TEST_F(Stream, ReadOnlyAndSizedByTheHeader)
{
    open_stream(pattern_bytes(100, 1));
    EXPECT_NE(zip_source_begin_write(source), 0);
    zip_stat_t st;
    ASSERT_EQ(zip_source_stat(source, &st), 0);
    EXPECT_EQ(st.size, 100u);
}

TEST_F(Stream, SmallPayloadReadsWholeAndStopsAtTheEnd)
{
    open_stream(pattern_bytes(1234, 2));
    EXPECT_EQ(read(100), plain.substr(0, 100));
    EXPECT_EQ(read(5000), plain.substr(100));
    EXPECT_EQ(tell(), 1234);
    EXPECT_EQ(read(10), "");
}

TEST_F(Stream, SeekOriginsAndTheEnd)
{
    open_stream(pattern_bytes(3 * 65536 + 77, 3));
    const auto size = static_cast<std::int64_t>(plain.size());
    EXPECT_EQ(seek(0, SEEK_END), 0);
    EXPECT_EQ(tell(), size);
    EXPECT_EQ(read(1), "");
    EXPECT_EQ(seek(size + 1, SEEK_SET), -1);
    EXPECT_EQ(seek(1, SEEK_END), -1);
    EXPECT_EQ(tell(), size);

    EXPECT_EQ(seek(-22, SEEK_END), 0);
    EXPECT_EQ(read(100), plain.substr(plain.size() - 22));
    EXPECT_EQ(seek(70000, SEEK_SET), 0);
    EXPECT_EQ(seek(-10000, SEEK_CUR), 0);
    EXPECT_EQ(tell(), 60000);
    EXPECT_EQ(read(10000), plain.substr(60000, 10000));
    EXPECT_EQ(seek(-70001, SEEK_CUR), -1);
    EXPECT_EQ(tell(), 70000);
}

TEST_F(Stream, ReadEndingAtABlockBoundaryThenSeekThere)
{
    open_stream(pattern_bytes(2 * 65536 + 500, 4));
    EXPECT_EQ(read(65536), plain.substr(0, 65536));
    EXPECT_EQ(seek(65536, SEEK_SET), 0);
    EXPECT_EQ(read(300), plain.substr(65536, 300));
    // Back into the first block, then a read that spans two block changes.
    EXPECT_EQ(seek(65000, SEEK_SET), 0);
    EXPECT_EQ(read(66000), plain.substr(65000, 66000));
    EXPECT_EQ(read(2000), plain.substr(131000));
}

TEST_F(Stream, WholeBlockPayloadEndsCleanly)
{
    open_stream(pattern_bytes(2 * 65536, 5));
    EXPECT_EQ(seek(0, SEEK_END), 0);
    EXPECT_EQ(read(1), "");
    EXPECT_EQ(seek(131071, SEEK_SET), 0);
    EXPECT_EQ(read(5), plain.substr(131071));
    EXPECT_EQ(read(5), "");
    EXPECT_EQ(seek(0, SEEK_SET), 0);
    EXPECT_EQ(read(plain.size()), plain);
}

TEST_F(Stream, FileCutAfterOpeningIsAReadErrorNotTheEnd)
{
    open_stream(pattern_bytes(3 * 65536, 6));
    std::filesystem::resize_file(dir / "s.brp", 256 + 65536);
    EXPECT_EQ(seek(70000, SEEK_SET), 0);
    std::string out(100, '\0');
    EXPECT_EQ(zip_source_read(source, out.data(), out.size()), -1);
    EXPECT_EQ(zip_error_code_zip(zip_source_error(source)), ZIP_ER_READ);
}

} // namespace
