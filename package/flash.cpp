#include "fwpkg.h"

#include "firehose.h"
#include "flash_plan.h"
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

// The phases of one flash, for the messages of its failures. Before the first
// write a failure leaves the handset as it was; after it, the handset may not
// start until a flash completes.
class flash_phases {
public:
    // Runs step; a failure leaves as one runtime_error saying where it happened.
    template <typename Step>
    void run(const std::string& phase, Step&& step)
    {
        try {
            step();
        } catch (const verification_mismatch& e) {
            throw std::runtime_error(std::string(e.what()) + ". " + advice());
        } catch (const std::exception& e) {
            throw std::runtime_error(phase + " failed: " + flash_failure_cause(e) + ". " + advice());
        }
    }
    void writing_began() { written_ = true; }

private:
    std::string advice() const
    {
        if (!written_)
            return "Nothing was written to the handset; correct the cause and flash again.";
        return "The handset may not start until a flash completes: keep it in emergency-download mode "
               "(or unplug it and bring it back into that mode) and flash again.";
    }

    bool written_ = false;
};

} // namespace

bool fwpkg::flash(int device_handle, progress_handler& handler, bool no_write, std::uint32_t type)
{
    flash_options options;
    options.no_write = no_write;
    options.type = type;
    return flash(device_handle, handler, options);
}

bool fwpkg::flash(int device_handle, progress_handler& handler, const flash_options& options)
{
    if (!is_open())
        throw std::runtime_error("fwpkg: not open");
    check_metadata();
    guard busy(&busy_);
    cancelled_ = false;

    // Everything that can be refused is refused here, before the handset
    // hears anything.
    flash_phases phases;
    buffer programmer_image;
    flash_plan plan;
    std::vector<backup_file> backup;
    phases.run("Checking the package", [&] {
        if (options.no_write && options.read_back)
            throw std::runtime_error("a dry run writes nothing, so there is nothing to read back");
        programmer_image = read_file(firehose_filename_, 0);
        plan = plan_flash(*this, options.type, handler);
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

    firehose programmer;
    firehose_options link = options.link;
    if (options.read_back || !backup.empty())
        link.max_payload_from_target = std::max(link.max_payload_from_target, read_payload_bytes);
    phases.run("Connecting to the programmer", [&] {
        programmer.open(device_handle, options.no_write, device_memory_type_, device_sector_size_, link);
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
                if (cancelled_)
                    throw std::runtime_error("cancelled");
                report.update(reported + done);
            });
        });
        reported += e.bytes;
        report.update(reported);
    }

    auto write_all = [&](const std::vector<planned_write>& writes, bool stop_on_cancel) {
        for (const planned_write& w : writes) {
            if (stop_on_cancel && cancelled_)
                break;
            const std::string where = "Writing " + w.entry.filename + " to " + w.entry.label;
            report.message(options.read_back ? where + " and reading it back" : where);
            phases.writing_began();
            std::optional<std::uint64_t> read_back_from;
            if (options.read_back)
                read_back_from = firsts.at(&w);
            phases.run(where + " (LUN " + std::to_string(w.entry.lun) + ")", [&] {
                write_partition(
                    *this, programmer, w, [&](std::uint64_t done) { report.update(reported + done); }, read_back_from);
            });
            reported += pass_bytes * w.bytes_sent;
            report.update(reported);
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
    try {
        programmer.power("reset");
    } catch (const usb_link_error& e) {
        // Everything was written; some programmers leave the bus before their
        // acknowledgement of the reset can be read.
        log_info("Reset: the handset left before acknowledging (%s); everything was written\n", e.what());
    } catch (const std::exception& e) {
        throw std::runtime_error("Resetting the handset failed: " + flash_failure_cause(e) +
                                 ". Everything was written; unplug the handset to restart it.");
    }
    return true;
}
