#include "firmware.h"

#include "fault_plan.h"
#include "firehose_programmer.h"
#include "sahara_rom.h"
#include "transcript.h"

#include <libxml/parser.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <system_error>

namespace vhandset {

namespace {

std::filesystem::path bootable_drive_file(const std::filesystem::path& state_dir)
{
    return state_dir / "bootable_drive";
}

} // namespace

void run_firmware(device_link& link, const handset_options& opts, const std::filesystem::path& state_dir)
{
    try {
        // Several handsets may boot at once; the parser's set-up must run once.
        static std::once_flag xml_ready;
        std::call_once(xml_ready, [] { xmlInitParser(); });
        std::error_code ec;
        std::filesystem::create_directories(state_dir, ec);
        transcript record(state_dir);
        fault_plan faults(opts.faults);
        if (!opts.programmer_running) {
            sahara_rom rom(link, opts, record, faults);
            rom.run();
        }
        firehose_programmer programmer(link, opts, state_dir, record, faults);
        programmer.run(!opts.programmer_running);
    } catch (const unplugged&) {
        // The handset left the bus: its firmware simply stops.
    } catch (const std::exception&) {
        // A firmware that meets the unexpected stops; the host sees silence.
    }
}

std::vector<std::string> read_transcript(const std::filesystem::path& state_dir)
{
    return read_transcript_file(state_dir);
}

std::optional<unsigned> read_bootable_drive(const std::filesystem::path& state_dir)
{
    std::ifstream in(bootable_drive_file(state_dir));
    unsigned lun = 0;
    if (in >> lun)
        return lun;
    return std::nullopt;
}

void write_bootable_drive(const std::filesystem::path& state_dir, unsigned lun)
{
    // A reader (a test, a later session) never sees a half-written file.
    const auto file = bootable_drive_file(state_dir);
    auto fresh = file;
    fresh += ".new";
    {
        std::ofstream out(fresh, std::ios::trunc);
        out << lun << "\n";
        if (!out.flush())
            throw std::runtime_error("firmware: cannot write " + fresh.string() + ": " + std::strerror(errno));
    }
    std::error_code ec;
    std::filesystem::rename(fresh, file, ec);
    if (ec)
        throw std::runtime_error("firmware: cannot replace " + file.string() + ": " + ec.message());
}

} // namespace vhandset
