#include "firmware.h"

#include "fault_plan.h"
#include "firehose_programmer.h"
#include "sahara_rom.h"
#include "transcript.h"

#include <libxml/parser.h>

#include <mutex>
#include <system_error>

namespace vhandset {

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

} // namespace vhandset
