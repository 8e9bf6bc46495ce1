#include "fwpkg.h"

#include "firehose.h"
#include "log.h"
#include "program_list.h"
#include "sahara.h"
#include "thread.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace {

constexpr std::uint32_t default_programmer_wait_ms = 3000;
constexpr const char* programmer_wait_variable = "BRV_PROGRAMMER_WAIT_MS";
constexpr int decimal_base = 10;

// The boot ROM needs a moment to start the uploaded programmer; tests shorten it.
std::uint32_t programmer_wait_ms()
{
    const char* text = std::getenv(programmer_wait_variable);
    if (text == nullptr || *text == '\0')
        return default_programmer_wait_ms;
    char* end = nullptr;
    errno = 0;
    const unsigned long ms = std::strtoul(text, &end, decimal_base);
    if (errno != 0 || *end != '\0' || ms > UINT32_MAX)
        return default_programmer_wait_ms;
    return static_cast<std::uint32_t>(ms);
}

void write_partition(fwpkg& package, firehose& programmer, progress& report, xmlNode* program)
{
    const std::string label = xml_attribute(program, "label");
    const std::string filename = xml_attribute(program, "filename");
    const std::string element = element_text(program);
    // The image comes back as long as the partition: the member, then zeros.
    const buffer image = package.read_file(filename, partition_bytes(program));
    report.message("Writing " + filename + " to " + label);
    programmer.program_element(element, image);
    report.inc();
}

} // namespace

bool fwpkg::flash(int device_handle, progress_handler& handler, bool no_write, std::uint32_t type)
{
    if (!is_open())
        throw std::runtime_error("fwpkg: not open");
    if (device_memory_type_ == 0 || device_sector_size_ == 0 || firehose_filename_.empty() ||
        program_filename_.empty() || patch_filename_.empty())
        throw std::runtime_error("fwpkg: invalid metadata");
    guard busy(&busy_);
    cancelled_ = false;

    log_info("Sending programmer\n");
    {
        sahara rom;
        rom.open(device_handle);
        const buffer programmer_image = read_file(firehose_filename_, 0);
        rom.upload(programmer_image);
        rom.close();
    }
    sleep_ms(programmer_wait_ms());

    firehose programmer;
    programmer.open(device_handle, no_write, device_memory_type_, device_sector_size_);
    log_info("Connected\n");

    const program_list programs = read_program_list(read_file(program_filename_, 0), device_sector_size_, type);
    const patch_list patches = read_patch_list(read_file(patch_filename_, 0));
    const bool write_os = type != base_only;

    // Every image that will be written must be in the archive and fit its
    // partition, so that a bad package is refused before the first write
    // instead of leaving the handset half flashed.
    auto check_images = [this](const std::vector<xmlNode*>& elements) {
        for (xmlNode* program : elements)
            if (member_size(xml_attribute(program, "filename")) > partition_bytes(program))
                throw std::runtime_error("buffer too small for file");
    };
    check_images(programs.base);
    if (write_os)
        check_images(programs.os);

    const std::uint64_t steps = programs.base.size() + 1 + (write_os ? programs.os.size() : 0);
    progress report(handler, steps);

    for (xmlNode* program : programs.base)
        write_partition(*this, programmer, report, program);

    report.message("Patching");
    for (xmlNode* patch : patches.patches)
        programmer.command(element_text(patch));
    report.inc();

    if (write_os) {
        for (xmlNode* program : programs.os) {
            if (cancelled_)
                break;
            write_partition(*this, programmer, report, program);
        }
    }

    log_info("Finished programming, resetting device...\n");
    programmer.power("reset");
    return true;
}
