#include "handset_reader.h"

#include "file.h"
#include "flash_plan.h"
#include "log.h"
#include "memory_type.h"
#include "sahara.h"
#include "thread.h"
#include "usbport.h"

#include <algorithm>
#include <optional>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace {

constexpr std::uint32_t default_programmer_wait_ms = 3000;
constexpr const char* programmer_wait_variable = "BRV_PROGRAMMER_WAIT_MS";
constexpr int decimal_base = 10;
// How often a fixed pause looks for a cancel request.
constexpr std::uint32_t cancel_poll_ms = 50;
// One read request asks for at most this many sectors; the programmer sends
// them in pieces of its payload size either way.
constexpr std::uint32_t max_request_sectors = 1u << 30;

} // namespace

edl_pipe::edl_pipe(int device_handle)
{
    open_pipe(device_handle, edl_interface);
}

bool upload_programmer(int device_handle, const buffer& image)
{
    // Each protocol session has a pipe of its own, as the handset sees a
    // fresh start between the boot ROM and the programmer.
    std::optional<edl_pipe> pipe(device_handle);
    sahara rom;
    try {
        rom.open(*pipe);
    } catch (const link_error& e) {
        if (e.error() != ETIMEDOUT)
            throw;
        rom.close();
        pipe.emplace(device_handle);
        firehose running;
        if (!running.probe(*pipe))
            throw;
        running.close();
        log_info("No Sahara HELLO, but a programmer answers: using it\n");
        return false;
    }
    rom.upload(image);
    rom.close();
    return true;
}

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

void let_programmer_start(const programmer_wait& wait, firehose_options& link, const cancel_request* cancel)
{
    if (wait.until_answer) {
        link.start_wait_ms = programmer_answer_bound_ms;
        return;
    }
    for (std::uint32_t left = wait.pause_ms; left > 0 && !(cancel && cancel->requested());) {
        const std::uint32_t step = std::min(left, cancel_poll_ms);
        sleep_ms(step);
        left -= step;
    }
}

std::vector<std::uint32_t> memory_luns(std::uint32_t memory_type)
{
    std::vector<std::uint32_t> luns;
    for (std::uint32_t lun = 0; lun < memory_lun_count(memory_type); ++lun)
        luns.push_back(lun);
    return luns;
}

std::uint64_t lun_sectors(firehose& programmer, std::uint32_t lun)
{
    programmer.set_physical_partition(lun);
    std::uint64_t sectors = 0;
    if (programmer.supports("getStorageInfo")) {
        try {
            sectors = programmer.storage_info(lun).total_blocks;
        } catch (const firehose_refusal&) {
            // Not known this way; the older query may still tell.
        }
    }
    if (sectors == 0)
        sectors = programmer.num_disk_sectors();
    return sectors;
}

void read_sectors(firehose& programmer, std::uint32_t lun, std::uint64_t start, std::uint64_t count,
                  const data_sink& sink)
{
    if (start >= read_sector_limit || count > read_sector_limit - start)
        throw std::runtime_error("sectors " + std::to_string(start) + " to " + std::to_string(start + count) +
                                 " of LUN " + std::to_string(lun) +
                                 " lie beyond sector 2^32, which a read request cannot name");
    programmer.set_physical_partition(lun);
    while (count > 0) {
        const auto sectors = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, max_request_sectors));
        programmer.read(static_cast<std::uint32_t>(start), sectors, sink);
        start += sectors;
        count -= sectors;
    }
}

void read_sectors_to_file(firehose& programmer, std::uint32_t lun, std::uint64_t start, std::uint64_t count,
                          const std::string& path, const data_progress& on_piece, bool replace)
{
    replacement_file out(path, replace);
    std::uint64_t done = 0;
    read_sectors(programmer, lun, start, count, [&](const std::uint8_t* data, std::size_t size) {
        out.write(data, size);
        done += size;
        if (on_piece)
            on_piece(done);
    });
    out.commit();
}

void require_sector_reads(firehose& programmer, const std::string& consequence)
{
    if (programmer.max_payload_from_target() < programmer.sector_size())
        throw std::runtime_error("the programmer sends at most " + std::to_string(programmer.max_payload_from_target()) +
                                 " bytes per read, less than one sector of " +
                                 std::to_string(programmer.sector_size()) + " bytes, so " + consequence);
}

gpt_sector_reader lun_sector_reader(firehose& programmer, std::uint32_t lun)
{
    return [&programmer, lun](std::uint64_t lba, std::uint32_t count) {
        std::vector<std::uint8_t> data;
        data.reserve(std::uint64_t{count} * programmer.sector_size());
        read_sectors(programmer, lun, lba, count,
                     [&](const std::uint8_t* piece, std::size_t size) { data.insert(data.end(), piece, piece + size); });
        return data;
    };
}

gpt_table read_lun_gpt(firehose& programmer, std::uint32_t lun, std::uint64_t disk_sectors)
{
    const gpt_sector_reader sectors = lun_sector_reader(programmer, lun);
    return read_gpt(
        [&](std::uint64_t lba, std::uint32_t count) {
            // Only the backup table of a disk this large lies out of reach.
            if (lba + count > read_sector_limit)
                throw gpt_damaged("no usable primary GPT, and the backup at sector " + std::to_string(lba) +
                                  " lies beyond sector 2^32, which a read request cannot name");
            return sectors(lba, count);
        },
        programmer.sector_size(), disk_sectors);
}

handset_reader::handset_reader(firmware_source& source, int device_handle, const firehose_options& link,
                               bool may_write, const programmer_wait& wait)
{
    // Unless it may write, configured to skip every write: nothing it is asked
    // can change the handset.
    flash_phases phases("Nothing was written to the handset.");
    buffer image = source.programmer();
    log_info("Sending programmer\n");
    bool uploaded = false;
    phases.run("Sending the programmer", [&] { uploaded = upload_programmer(device_handle, image); });
    image = buffer();
    firehose_options reading = link;
    if (uploaded)
        let_programmer_start(wait, reading);
    reading.max_payload_from_target = std::max(reading.max_payload_from_target, read_payload_bytes);
    phases.run("Connecting to the programmer", [&] {
        pipe_.emplace(device_handle);
        programmer_.open(*pipe_, !may_write, source.memory_type(), source.sector_size(), reading);
        require_sector_reads(programmer_, "it cannot read the handset");
    });
    log_info("Connected\n");
}
