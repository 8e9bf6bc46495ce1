#include "flash.h"

#include "attached_handset.h"
#include "firehose.h"
#include "flash_phases.h"
#include "flash_plan.h"
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

void flash_handset(firmware_source& source, int device_handle, progress_handler& handler,
                   const flash_options& options)
{
    if (options.cancel)
        options.cancel->clear();
    auto cancelled = [&] { return options.cancel && options.cancel->requested(); };

    // Everything that can be refused is refused here, before the handset
    // hears anything.
    flash_phases phases;
    phases.observe(options.on_phase);
    auto tell = [&](partition_outcome::what what, const planned_write& w, std::uint64_t bytes, std::string reason) {
        if (options.on_partition)
            options.on_partition({what, w.entry.label, w.entry.lun, w.entry.filename, bytes, std::move(reason)});
    };
    buffer programmer_image;
    flash_plan plan;
    std::vector<backup_file> backup;
    phases.run("Checking the package", [&] {
        if (options.no_write && options.read_back)
            throw std::runtime_error("a dry run writes nothing, so there is nothing to read back");
        programmer_image = source.programmer();
        plan = plan_flash(source, options.type, handler);
        if (!options.backup_dir.empty())
            backup = plan_backup(plan, options.backup_dir);
        if (options.before_handset)
            options.before_handset();
    });

    log_info("Sending programmer\n");
    bool uploaded = false;
    phases.run("Sending the programmer", [&] { uploaded = upload_programmer(device_handle, programmer_image); });
    programmer_image = buffer();
    if (uploaded)
        sleep_ms(programmer_wait_ms());

    std::optional<edl_pipe> pipe;  // outlives the programmer speaking through it
    firehose programmer;
    firehose_options link = options.link;
    if (options.read_back || !backup.empty())
        link.max_payload_from_target = std::max(link.max_payload_from_target, read_payload_bytes);
    phases.run("Connecting to the programmer", [&] {
        pipe.emplace(device_handle);
        programmer.open(*pipe, options.no_write, source.memory_type(), source.sector_size(), link);
    });
    log_info("Connected\n");
    disk_sizes disks;
    // Where each partition starts, for the backup and the read-back, known
    // before the first write.
    std::map<const planned_write*, std::uint64_t> firsts;
    phases.run("Checking the partitions against the disk", [&] {
        disks = check_against_disk(plan, programmer);
        if (options.read_back || !backup.empty())
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
                if (cancelled())
                    throw std::runtime_error("cancelled");
                report.update(reported + done);
            });
        });
        reported += e.bytes;
        report.update(reported);
    }

    auto write_all = [&](const std::vector<planned_write>& writes, bool stop_on_cancel) {
        for (const planned_write& w : writes) {
            if (stop_on_cancel && cancelled()) {
                tell(partition_outcome::what::skipped, w, 0, "cancelled");
                continue;
            }
            const std::string where = "Writing " + w.entry.filename + " to " + w.entry.label;
            report.message(options.read_back ? where + " and reading it back" : where);
            phases.writing_began();
            std::optional<std::uint64_t> read_back_from;
            if (options.read_back)
                read_back_from = firsts.at(&w);
            phases.run(where + " (LUN " + std::to_string(w.entry.lun) + ")", [&] {
                write_partition(
                    source, programmer, w, [&](std::uint64_t done) { report.update(reported + done); }, read_back_from);
            });
            reported += pass_bytes * w.bytes_sent;
            report.update(reported);
            tell(options.read_back ? partition_outcome::what::verified : partition_outcome::what::written, w,
                 w.bytes_sent, "");
        }
    };

    write_all(plan.base, false);

    report.message("Patching");
    phases.writing_began();
    phases.run("Patching the partition table", [&] {
        for (const std::string& patch : plan.patches.elements)
            programmer.command(patch);
    });
    report.add(1);

    write_all(plan.os, true);

    log_info("Finished programming, resetting device...\n");
    if (options.on_phase)
        options.on_phase("Resetting the handset");
    try {
        programmer.power("reset");
    } catch (const link_error& e) {
        // Everything was written; some programmers leave the bus before their
        // acknowledgement of the reset can be read.
        log_info("Reset: the handset left before acknowledging (%s); everything was written\n", e.what());
    } catch (const std::exception& e) {
        throw flash_failure("Resetting the handset", flash_failure_cause(e),
                            "Everything was written; unplug the handset to restart it.", true, flash_failure_kind(e));
    }
}

void flash_attached_handset(firmware_source& source, progress_handler& handler, const flash_options& options)
{
    const handset_handle handset(open_chosen_handset(options.handset));
    flash_handset(source, handset.get(), handler, options);
}
