#include "flash.h"

#include "attached_handset.h"
#include "firehose.h"
#include "flash_phases.h"
#include "flash_plan.h"
#include "partition_erase.h"
#include "partition_write.h"
#include "handset_reader.h"
#include "log.h"
#include "program_list.h"
#include "sahara.h"
#include "thread.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <optional>
#include <stdexcept>

namespace {

constexpr std::uint32_t cancel_poll_ms = 50;
constexpr const char* cancelled_advice = "Flash again when ready, or unplug the handset to restart it.";

// The programmer's start-up time, cut short by a cancel request.
void wait_for_programmer(const cancel_request* cancel)
{
    for (std::uint32_t left = programmer_wait_ms(); left > 0 && !(cancel && cancel->requested());) {
        const std::uint32_t step = std::min(left, cancel_poll_ms);
        sleep_ms(step);
        left -= step;
    }
}

} // namespace

flash_result flash_handset(firmware_source& source, int device_handle, progress_handler& handler,
                           const flash_options& options)
{
    auto cancelled = [&] { return options.cancel && options.cancel->requested(); };

    // Everything that can be refused is refused here, before the handset
    // hears anything.
    flash_phases phases;
    auto stop_if_cancelled = [&] { phases.stop_if_cancelled(options.cancel, cancelled_advice); };
    buffer programmer_image;
    flash_plan plan;
    std::vector<backup_file> backup;
    phases.run("Checking the package", [&] {
        if (options.no_write && options.read_back)
            throw std::runtime_error("a dry run writes nothing, so there is nothing to read back");
        programmer_image = source.programmer();
        plan = plan_flash(source, options.type, handler, stop_if_cancelled);
        if (!options.backup_dir.empty())
            backup = plan_backup(plan, options.backup_dir);
        if (options.before_handset)
            options.before_handset();
    });
    const bool reads = options.read_back || !backup.empty();
    stop_if_cancelled();

    log_info("Sending programmer\n");
    bool uploaded = false;
    phases.run("Sending the programmer", [&] { uploaded = upload_programmer(device_handle, programmer_image); });
    programmer_image = buffer();
    if (uploaded)
        wait_for_programmer(options.cancel);
    stop_if_cancelled();

    std::optional<edl_pipe> pipe;  // outlives the programmer speaking through it
    firehose programmer;
    firehose_options link = options.link;
    if (reads)
        link.max_payload_from_target = std::max(link.max_payload_from_target, read_payload_bytes);
    phases.run("Connecting to the programmer", [&] {
        pipe.emplace(device_handle);
        programmer.open(*pipe, options.no_write, source.memory_type(), source.sector_size(), link);
        if (reads)
            require_sector_reads(programmer, "the partitions cannot be saved or read back");
    });
    log_info("Connected\n");
    stop_if_cancelled();
    disk_sizes disks;
    // Where each partition starts, for the backup and the read-back, known
    // before the first write.
    std::map<const planned_write*, std::uint64_t> firsts;
    phases.run("Checking the partitions against the disk", [&] {
        disks = check_against_disk(plan, programmer);
        check_erase_support(plan, programmer);
        if (reads)
            for (const auto* list : {&plan.base, &plan.os})
                for (const planned_write& w : *list)
                    firsts[&w] = first_sector(w.entry, disks, options.read_back ? "read back" : "saved");
    });

    // Reading back costs as much link time as the writing.
    const std::uint64_t pass_bytes = options.read_back ? 2 : 1;
    progress report(handler, backup_bytes(backup) + pass_bytes * plan.bytes_to_write + 1);
    std::uint64_t reported = 0;

    for (const backup_file& b : backup) {
        const program_entry& e = b.write->entry;
        report.message("Saving " + e.label + " to " + b.path);
        phases.run("Saving " + e.label + " (LUN " + std::to_string(e.lun) + ") to " + b.path, [&] {
            // A cancel here still leaves the handset untouched.
            read_sectors_to_file(programmer, e.lun, firsts.at(b.write), e.sectors, b.path, [&](std::uint64_t done) {
                stop_if_cancelled();
                report.update(reported + done);
            });
        });
        reported += e.bytes;
        report.update(reported);
    }

    flash_result result;
    auto write_all = [&](const std::vector<planned_write>& writes, bool stop_on_cancel) {
        for (const planned_write& w : writes) {
            stop_if_cancelled();
            if (stop_on_cancel && cancelled()) {
                result.skipped = static_cast<std::size_t>(writes.data() + writes.size() - &w);
                break;
            }
            const std::string lun = " (LUN " + std::to_string(w.entry.lun) + ")";
            if (w.entry.erase) {
                report.message("Erasing " + w.entry.label);
                phases.writing_began();
                phases.run("Erasing " + w.entry.label + lun, [&] { erase_partition(programmer, w.entry, disks); });
                continue;
            }
            const std::string where = "Writing " + w.entry.filename + " to " + w.entry.label;
            report.message(options.read_back ? where + " and reading it back" : where);
            phases.writing_began();
            std::optional<std::uint64_t> read_back_from;
            if (options.read_back)
                read_back_from = firsts.at(&w);
            phases.run(where + lun, [&] {
                write_partition(
                    source, programmer, w, [&](std::uint64_t done) { report.update(reported + done); }, read_back_from,
                    &phases);
            });
            reported += pass_bytes * w.bytes_sent;
            report.update(reported);
        }
    };

    write_all(plan.base, false);

    report.message("Patching");
    stop_if_cancelled();
    phases.writing_began();
    phases.run("Patching the partition table", [&] {
        for (const std::string& patch : plan.patches.elements)
            programmer.command(patch);
    });
    report.add(1);

    write_all(plan.os, true);

    log_info("Finished programming, resetting device...\n");
    try {
        programmer.power("reset");
    } catch (const link_error& e) {
        // Everything was written; some programmers leave the bus before their
        // acknowledgement of the reset can be read.
        log_info("Reset: the handset left before acknowledging (%s); everything was written\n", e.what());
    } catch (const std::exception& e) {
        throw std::runtime_error("Resetting the handset failed: " + flash_failure_cause(e) + ". " +
                                 (result.skipped == 0 ? "Everything was written"
                                                      : "Everything but the skipped OS partitions was written") +
                                 "; unplug the handset to restart it.");
    }
    return result;
}

flash_result flash_attached_handset(firmware_source& source, progress_handler& handler, const flash_options& options)
{
    const handset_handle handset(open_chosen_handset(options.handset));
    return flash_handset(source, handset.get(), handler, options);
}
