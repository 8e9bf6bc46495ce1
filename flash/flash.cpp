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

#include <algorithm>
#include <cerrno>
#include <future>
#include <map>
#include <optional>
#include <stdexcept>

namespace {

constexpr const char* cancelled_advice = "Flash again when ready, or unplug the handset to restart it.";

} // namespace

flash_result flash_handset(firmware_source& source, int device_handle, progress_handler& handler,
                           const flash_options& options)
{
    auto cancelled = [&] { return options.cancel && options.cancel->requested(); };

    flash_phases phases;
    auto stop_if_cancelled = [&] { phases.stop_if_cancelled(options.cancel, cancelled_advice); };
    phases.observe(options.on_phase);
    auto tell = [&](partition_outcome::what what, const planned_write& w, std::uint64_t bytes, std::string reason) {
        if (options.on_partition)
            options.on_partition({what, w.entry.label, w.entry.lun, w.entry.filename, bytes, std::move(reason)});
    };
    buffer programmer_image;
    phases.run("Checking the package", [&] {
        if (options.no_write && options.read_back)
            throw std::runtime_error("a dry run writes nothing, so there is nothing to read back");
        programmer_image = source.programmer();
        if (options.before_handset)
            options.before_handset();
    });
    stop_if_cancelled();

    // Everything else that can be refused (both documents, every image read
    // through, the caller's own checks) is checked while the programmer is
    // uploaded and starts, on a thread of its own that alone uses the source
    // meanwhile; nothing is written before it has passed.
    flash_plan plan;
    std::vector<backup_file> backup;
    std::future<void> checks = std::async(std::launch::async, [&] {
        plan = plan_flash(source, options.type, handler, stop_if_cancelled);
        if (!options.backup_dir.empty())
            backup = plan_backup(plan, options.backup_dir);
        if (options.before_first_write)
            options.before_first_write();
    });
    auto checks_passed = [&] { phases.run("Checking the package", [&] { checks.get(); }, false); };
    const bool reads = options.read_back || !options.backup_dir.empty() || options.skip_identical;

    std::optional<edl_pipe> pipe;  // outlives the programmer speaking through it
    firehose programmer;
    phases.watch_storage([&programmer] { return programmer.storage_touched(); });
    try {
        log_info("Sending programmer\n");
        bool uploaded = false;
        phases.run("Sending the programmer", [&] { uploaded = upload_programmer(device_handle, programmer_image); });
        programmer_image = buffer();
        firehose_options link = options.link;
        if (uploaded)
            let_programmer_start(options.wait, link, options.cancel);
        stop_if_cancelled();
        if (reads)
            link.max_payload_from_target = std::max(link.max_payload_from_target, read_payload_bytes);
        phases.run("Connecting to the programmer", [&] {
            pipe.emplace(device_handle);
            programmer.open(*pipe, options.no_write, source.memory_type(), source.sector_size(), link);
        });
    } catch (const std::exception&) {
        // A package that fails its checks is the news, not the handset.
        checks_passed();
        throw;
    }
    checks_passed();
    log_info("Connected\n");
    stop_if_cancelled();
    // The programmer hashes what the handset holds: verification and the
    // comparison before writing need no bytes on the cable.
    const bool handset_digests = programmer.supports("getsha256digest");
    flash_result result;
    const bool skip_identical = options.skip_identical && handset_digests;
    if (options.skip_identical && !handset_digests) {
        result.identical_unavailable = true;
        log_info("The programmer does not offer getsha256digest: every partition is written\n");
    }
    // Reading back needs whole sectors from the programmer; its digests do not.
    if (!backup.empty() || (options.read_back && !handset_digests))
        phases.run(
            "Connecting to the programmer",
            [&] { require_sector_reads(programmer, "the partitions cannot be saved or read back"); }, false);
    disk_sizes disks;
    // Where each partition starts, for the backup, the verification and the
    // comparison, known before the first write.
    std::map<const planned_write*, std::uint64_t> firsts;
    phases.run("Checking the partitions against the disk", [&] {
        disks = check_against_disk(plan, programmer);
        check_erase_support(plan, programmer);
        if (options.read_back || !backup.empty() || skip_identical)
            for (const auto* list : {&plan.base, &plan.os})
                for (const planned_write& w : *list)
                    if (!w.entry.erase)
                        firsts[&w] = first_sector(w.entry, disks,
                                                  options.read_back ? "verified" : !backup.empty() ? "saved" : "compared");
    });

    // Reading back costs as much link time as the writing.
    const std::uint64_t pass_bytes = options.read_back && !handset_digests ? 2 : 1;
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

    auto write_all = [&](const std::vector<planned_write>& writes, bool stop_on_cancel) {
        for (const planned_write& w : writes) {
            stop_if_cancelled();
            if (stop_on_cancel && cancelled()) {
                result.skipped = static_cast<std::size_t>(writes.data() + writes.size() - &w);
                for (const planned_write* left = &w; left != writes.data() + writes.size(); ++left)
                    tell(partition_outcome::what::skipped, *left, 0, "cancelled");
                break;
            }
            const std::string lun = " (LUN " + std::to_string(w.entry.lun) + ")";
            if (w.entry.erase) {
                report.message("Erasing " + w.entry.label);
                phases.writing_began();
                phases.run("Erasing " + w.entry.label + lun, [&] { erase_partition(programmer, w.entry, disks); });
                tell(partition_outcome::what::erased, w, 0, "");
                continue;
            }
            write_checks checks;
            if (firsts.count(&w) != 0)
                checks.first_sector = firsts.at(&w);
            checks.verify = options.read_back;
            checks.on_handset = handset_digests;
            std::uint64_t not_sent = 0;  // runs the handset holds already
            if (skip_identical) {
                report.message("Comparing " + w.entry.label + " with the handset");
                stretch_matches there;
                bool compared = true;
                phases.run("Comparing " + w.entry.label + lun + " with the handset", [&] {
                    try {
                        there = stretches_on_handset(source, programmer, w, checks.first_sector);
                    } catch (const firehose_refusal& e) {
                        // The comparison only spares work: a range the
                        // programmer will not hash is written, not a reason to
                        // leave the flash half done.
                        compared = false;
                        log_info("Comparing %s: %s; it is written\n", w.entry.label.c_str(), e.what());
                    }
                });
                if (compared) {
                    checks.skip = there.same;
                    not_sent = there.same_bytes;
                    result.identical_bytes += there.same_bytes;
                    const std::size_t same =
                        static_cast<std::size_t>(std::count(there.same.begin(), there.same.end(), true));
                    if (same == there.same.size()) {
                        result.identical.push_back(w.entry.label);
                        report.message("Skipping " + w.entry.label + ": the handset holds it already");
                        reported += pass_bytes * w.bytes_sent;
                        report.update(reported);
                        tell(partition_outcome::what::skipped, w, 0, "identical");
                        continue;
                    }
                    if (same != 0)
                        result.identical.push_back(w.entry.label + " (" + std::to_string(same) + " of " +
                                                  std::to_string(there.same.size()) + " runs)");
                }
            }
            const std::string where = "Writing " + w.entry.filename + " to " + w.entry.label;
            report.message(!options.read_back ? where
                                              : handset_digests ? where + " and verifying it" : where + " and reading it back");
            phases.writing_began();
            phases.run(where + lun, [&] {
                write_partition(
                    source, programmer, w, [&](std::uint64_t done) { report.update(reported + done); }, checks,
                    &phases);
            });
            reported += pass_bytes * w.bytes_sent;
            report.update(reported);
            tell(options.read_back ? partition_outcome::what::verified : partition_outcome::what::written, w,
                 w.bytes_sent - not_sent, "");
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
                            std::string(result.skipped == 0 ? "Everything was written"
                                                            : "Everything but the skipped OS partitions was written") +
                                "; unplug the handset to restart it.",
                            true, flash_failure_kind(e));
    }
    return result;
}

flash_result flash_attached_handset(firmware_source& source, progress_handler& handler, const flash_options& options)
{
    const handset_handle handset(open_chosen_handset(options.handset));
    return flash_handset(source, handset.get(), handler, options);
}
