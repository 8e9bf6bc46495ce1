// The program and patch XML as the flash procedure reads them, before anything
// reaches a handset.
#include "fwpkg.h"
#include "package_test_support.h"
#include "program_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

using namespace pkgtest;

namespace {

buffer bytes(const std::string& text)
{
    buffer b;
    b.enqueue(text.data(), text.size());
    return b;
}

std::string program(const std::string& label, const std::string& file, const std::string& sectors,
                    const std::string& sector_size = "512", const std::string& offset = "0")
{
    return "  <program SECTOR_SIZE_IN_BYTES=\"" + sector_size + "\" file_sector_offset=\"" + offset +
           "\" filename=\"" + file + "\" label=\"" + label + "\" num_partition_sectors=\"" + sectors +
           "\" physical_partition_number=\"0\" start_sector=\"34\"/>\n";
}

std::string program_xml(const std::string& body)
{
    return "<?xml version=\"1.0\" ?>\n<data>\n  <!--NOTE: generated-->\n" + body + "</data>\n";
}

std::vector<std::string> labels(const std::vector<program_entry>& entries)
{
    std::vector<std::string> out;
    for (const program_entry& e : entries)
        out.push_back(e.label);
    return out;
}

std::string list_error(const std::string& xml, std::uint32_t type = full, std::uint32_t sector_size = 512)
{
    return error_text([&] { read_program_list(bytes(xml), sector_size, type); });
}

std::string patch_error(const std::string& xml)
{
    return error_text([&] { read_patch_list(bytes(xml)); });
}

const std::string mixed = program_xml(program("xbl", "xbl.elf", "100") + program("boot_b", "boot.img", "64") +
                                      program("PrimaryGPT", "gpt.bin", "34") + program("grow", "", "0") +
                                      program("userdata", "userdata.img", "80") + program("cache", "c.img", "0") +
                                      program("userdata_b", "ud.img", "80") + program("system", "system.img", "200"));

TEST(ProgramList, SortsBaseAndOsInDocumentOrder)
{
    log_capture log;
    const program_list all = read_program_list(bytes(mixed), 512, full);
    EXPECT_EQ(labels(all.base), (std::vector<std::string>{"xbl", "PrimaryGPT"}));
    EXPECT_EQ(labels(all.os), (std::vector<std::string>{"boot_b", "userdata", "userdata_b", "system"}));
    EXPECT_TRUE(log.has("I:Ignoring grow: no file\n"));
    EXPECT_TRUE(log.has("I:Ignoring cache: zero sectors\n"));

    // Keep Data leaves out exactly "userdata", silently.
    log.clear();
    const program_list keep = read_program_list(bytes(mixed), 512, keep_data);
    EXPECT_EQ(labels(keep.os), (std::vector<std::string>{"boot_b", "userdata_b", "system"}));
    EXPECT_EQ(log.count("I:Ignoring grow: no file\n"), 1u);
    EXPECT_EQ(log.lines().size(), 2u);

    // Any other type value writes everything, like full.
    EXPECT_EQ(labels(read_program_list(bytes(mixed), 512, 0).os).size(), 4u);
}

TEST(ProgramList, EveryElementIsCheckedEvenWhenNothingIsWritten)
{
    EXPECT_EQ(list_error(program_xml(program("", "a.bin", "8"))), "no label");
    EXPECT_EQ(list_error(program_xml(program("x", "", "8", "4096"))), "Bad sector size");
    EXPECT_EQ(list_error(program_xml(program("x", "", "0", ""))), "Bad sector size");
    EXPECT_EQ(list_error(program_xml(program("a", "a.bin", "8") + program("z", "z.bin", "8", "512", "1"))),
              "file_sector_offset is not zero");
    EXPECT_EQ(list_error(program_xml("<program label=\"x\" filename=\"a\" num_partition_sectors=\"1\"/>")),
              "Bad sector size");
    EXPECT_EQ(list_error(program_xml(program("ok", "a.bin", "8"))), "no error");
    EXPECT_EQ(list_error(program_xml(program("ok", "a.bin", "8", "4096")), full, 4096), "no error");
}

TEST(ProgramList, OnlySectorCountsBeyond32BitsAreRefused)
{
    // 8388608 x 512 = 4 GiB: the byte count needs 64 bits, the sector count does not.
    const program_list big = read_program_list(bytes(program_xml(program("super", "s.img", "8388608"))), 512, full);
    ASSERT_EQ(big.os.size() + big.base.size(), 1u);
    EXPECT_EQ(big.base[0].bytes, 4294967296u);
    EXPECT_EQ(list_error(program_xml(program("sys", "s.img", "4294967295", "4096")), full, 4096), "no error");
    EXPECT_EQ(list_error(program_xml(program("xbl", "x.bin", "8") + program("modem", "m.bin", "4294967296"))),
              "Partition too large: modem (4294967296 sectors; the programmer counts at most 4294967295)");
    // Only partitions that will be written count.
    EXPECT_EQ(list_error(program_xml(program("system", "s.img", "4294967296")), base_only), "no error");
    EXPECT_EQ(list_error(program_xml(program("userdata", "u.img", "4294967296")), keep_data), "no error");
    EXPECT_EQ(list_error(program_xml(program("grow", "", "4294967296"))), "no error");
}

TEST(ProgramList, NumbersArePlainDecimalsAndRequestsFitTheProgrammer)
{
    const auto with = [](const std::string& attributes) {
        return program_xml("<program SECTOR_SIZE_IN_BYTES=\"512\" file_sector_offset=\"0\" filename=\"a.bin\" "
                           "label=\"a\" " + attributes + "/>");
    };
    const std::pair<std::string, std::string> cases[] = {
        {"num_partition_sectors=\"0x200\" start_sector=\"0\"",
         "program a: num_partition_sectors \"0x200\" is not a decimal number"},
        {"num_partition_sectors=\"-1\" start_sector=\"0\"",
         "program a: num_partition_sectors \"-1\" is not a decimal number"},
        {"num_partition_sectors=\"8\" start_sector=\"34 \"", "program a: start_sector \"34 \" is not a decimal number"},
        {"num_partition_sectors=\"8\" start_sector=\"NUM_DISK_SECTORS-x.\"",
         "program a: start_sector \"NUM_DISK_SECTORS-x.\" is not a decimal number"},
        {"num_partition_sectors=\"8\" start_sector=\"0\" physical_partition_number=\"4294967296\"",
         "program a: physical_partition_number \"4294967296\" is not a decimal number"},
        {"num_partition_sectors=\"8\" start_sector=\"NUM_DISK_SECTORS-33.\"", "no error"},
        {"num_partition_sectors=\"8\" start_sector=\"NUM_DISK_SECTORS-33\"", "no error"},
        {"num_partition_sectors=\"8\" start_sector=\"34\" comment=\"" + std::string(900, 'c') + "\"",
         "program a: request longer than 1023 characters"},
    };
    for (const auto& [attributes, message] : cases)
        EXPECT_EQ(list_error(with(attributes)), message) << attributes;

    EXPECT_EQ(patch_error("<patches><patch filename=\"DISK\" start_sector=\"0x10\"/></patches>"),
              "patch 1: start_sector \"0x10\" is not a decimal number");
    EXPECT_EQ(patch_error("<patches><patch filename=\"DISK\" value=\"" + std::string(1000, 'v') + "\"/></patches>"),
              "patch 1: request longer than 1023 characters");
}

TEST(ProgramList, DocumentsWithADtdAreRefused)
{
    // An entity is expanded when read here but reaches the programmer as "&f;",
    // and nested ones can take minutes to expand.
    const std::string dtd = "<?xml version=\"1.0\"?>\n<!DOCTYPE data [<!ENTITY f \"a.bin\">]>\n";
    EXPECT_EQ(list_error(dtd + "<data>" + program("a", "&f;", "8") + "</data>"),
              "The program file declares a DTD or entities, which program files never have");
    // One 50 KB entity used 20,000 times in an attribute used to hang the flash.
    std::string uses;
    for (int i = 0; i < 20000; ++i)
        uses += "&e;";
    const std::string heavy = "<?xml version=\"1.0\"?>\n<!DOCTYPE data [<!ENTITY e \"" + std::string(50000, 'e') +
                              "\">]>\n<data>" + program(uses, "a.bin", "8") + "</data>";
    EXPECT_EQ(list_error(heavy), "The program file declares a DTD or entities, which program files never have");
    EXPECT_EQ(patch_error("<?xml version=\"1.0\"?><!DOCTYPE patches SYSTEM \"x.dtd\"><patches/>"),
              "The patch file declares a DTD or entities, which program files never have");
}

TEST(ProgramList, DocumentsThatAreNotProgramLists)
{
    EXPECT_EQ(list_error("this is not xml"), "Cannot find program data");
    EXPECT_EQ(list_error(""), "Cannot find program data");
    EXPECT_EQ(list_error("<?xml version=\"1.0\"?><patches><program label=\"x\"/></patches>"), "Cannot find program data");
    // Other children of <data> are skipped.
    const program_list l = read_program_list(
        bytes(program_xml("<read label=\"x\"/>\n<nop/>\n" + program("xbl", "x", "1") + "text")), 512, full);
    EXPECT_EQ(labels(l.base), std::vector<std::string>{"xbl"});
}

TEST(ProgramList, EraseElementsKeepTheirPlaceAndFollowTheFlashType)
{
    auto erase = [](const std::string& label, const std::string& sectors) {
        return "  <erase SECTOR_SIZE_IN_BYTES=\"512\" label=\"" + label + "\" num_partition_sectors=\"" + sectors +
               "\" physical_partition_number=\"0\" start_sector=\"34\"/>\n";
    };
    const std::string xml = program_xml(erase("modemst1", "8") + program("xbl", "x", "1") + erase("fsg", "8") +
                                        erase("misc", "0") + erase("userdata", "8") + program("boot", "b", "1"));
    struct type_case {
        std::uint32_t type;
        std::vector<std::string> base;
        std::vector<std::string> os;
    };
    const type_case cases[] = {
        {full, {"modemst1", "xbl", "fsg"}, {"userdata", "boot"}},
        {keep_data, {"modemst1", "xbl", "fsg"}, {"boot"}},
        {base_only, {"modemst1", "xbl", "fsg"}, {}},
    };
    for (const type_case& c : cases) {
        const program_list l = read_program_list(bytes(xml), 512, c.type);
        EXPECT_EQ(labels(l.base), c.base) << c.type;
        EXPECT_EQ(labels(l.os), c.os) << c.type;
        for (const auto* list : {&l.base, &l.os})
            for (const program_entry& e : *list)
                EXPECT_EQ(e.erase, e.label != "xbl" && e.label != "boot") << e.label;
    }
    EXPECT_EQ(list_error(program_xml(erase("", "8"))), "no label");
    EXPECT_EQ(list_error(program_xml(erase("fsg", "8")), full, 4096), "Bad sector size");
}

TEST(ProgramList, ElementTextIsTheElementAlone)
{
    const std::string xml = program_xml("\t<program SECTOR_SIZE_IN_BYTES=\"512\" file_sector_offset=\"0\" "
                                        "filename=\"x.bin\" label=\"xbl\" num_partition_sectors=\"8\" "
                                        "start_sector=\"NUM_DISK_SECTORS-33.\" />\n");
    const program_list l = read_program_list(bytes(xml), 512, full);
    ASSERT_EQ(l.base.size(), 1u);
    EXPECT_EQ(l.base[0].element,
              "<program SECTOR_SIZE_IN_BYTES=\"512\" file_sector_offset=\"0\" filename=\"x.bin\" label=\"xbl\" "
              "num_partition_sectors=\"8\" start_sector=\"NUM_DISK_SECTORS-33.\"/>");
    EXPECT_EQ(partition_bytes(l.base[0].node), 4096u);
    EXPECT_TRUE(l.base[0].start.from_end);
    EXPECT_EQ(l.base[0].start.value, 33u);
}

TEST(PatchList, OnlyDiskPatchesAreKept)
{
    log_capture log;
    const patch_list l = read_patch_list(bytes(
        "<?xml version=\"1.0\" ?>\n<patches>\n"
        "  <patch SECTOR_SIZE_IN_BYTES=\"512\" byte_offset=\"64\" filename=\"gpt_main0.bin\" value=\"0\" what=\"a\"/>\n"
        "  <patch SECTOR_SIZE_IN_BYTES=\"512\" byte_offset=\"64\" filename=\"DISK\" value=\"1\" what=\"b\"/>\n"
        "  <patch filename=\"disk\" what=\"c\"/>\n"
        "  <!-- comment -->\n"
        "  <patch filename=\"DISK\" what=\"d\"/>\n"
        "</patches>\n"));
    ASSERT_EQ(l.patches.size(), 2u);
    EXPECT_EQ(xml_attribute(l.patches[0], "what"), "b");
    EXPECT_EQ(xml_attribute(l.patches[1], "what"), "d");
    EXPECT_EQ(log.count("I:Not DISK patch, skipping\n"), 2u);

    EXPECT_EQ(patch_error("<patches><patch what=\"x\"/></patches>"), "patch has no filename");
    EXPECT_EQ(patch_error("<patches><patch filename=\"\"/></patches>"), "patch has no filename");
    EXPECT_EQ(patch_error("not xml"), "Cannot find patch data");
    EXPECT_EQ(patch_error("<data><patch filename=\"DISK\"/></data>"), "Cannot find patch data");
    EXPECT_EQ(patch_error("<patches/>"), "no error");
}

} // namespace
