#include "fwpkg.h"

#include "firehose.h"
#include "flash_plan.h"
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
        } catch (const std::exception& e) {
            throw std::runtime_error(phase + " failed: " + flash_failure_cause(e) + ". " + advice());
        }
    }
    void writing_began() { written_ = true; }
    bool written() const { return written_; }

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

// The programmer upload; false when the handset sent no HELLO but a programmer
// left running by an earlier session answers instead.
bool upload_programmer(int device_handle, const buffer& image)
{
    sahara rom;
    try {
        rom.open(device_handle);
    } catch (const usb_link_error& e) {
        if (e.error() != ETIMEDOUT)
            throw;
        rom.close();
        firehose running;
        if (!running.probe(device_handle))
            throw;
        running.close();
        log_info("No Sahara HELLO, but a programmer answers: using it\n");
        return false;
    }
    rom.upload(image);
    rom.close();
    return true;
}

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
    phases.run("Checking the package", [&] {
        programmer_image = read_file(firehose_filename_, 0);
        plan = plan_flash(*this, options.type, handler, cancelled_);
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
    phases.run("Connecting to the programmer", [&] {
        programmer.open(device_handle, options.no_write, device_memory_type_, device_sector_size_, options.link);
    });
    log_info("Connected\n");
    phases.run("Checking the partitions against the disk", [&] { check_against_disk(plan, programmer); });

    progress report(handler, plan.bytes_to_write + 1);
    std::uint64_t reported = 0;
    auto write_all = [&](const std::vector<planned_write>& writes, bool stop_on_cancel) {
        for (const planned_write& w : writes) {
            if (stop_on_cancel && cancelled_)
                break;
            const std::string where = "Writing " + w.entry.filename + " to " + w.entry.label;
            report.message(where);
            phases.writing_began();
            phases.run(where + " (LUN " + std::to_string(w.entry.lun) + ")", [&] {
                write_partition(*this, programmer, w, [&](std::uint64_t done) { report.update(reported + done); });
            });
            reported += w.bytes_sent;
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
