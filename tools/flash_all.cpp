#include "flash_all.h"

#include "command.h"
#include "attached_handset.h"
#include "brp_source.h"
#include "flash_args.h"
#include "flash_report.h"
#include "text_names.h"
#include "flash_plan.h"
#include "fwpkg.h"
#include "interrupt.h"
#include "package_open.h"
#include "usb.h"
#include "verify_package.h"

#include <libxml/parser.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t percent_step = 10;

// Progress of one handset as lines "[PORT] NN% message" on stderr: one when
// the message changes or the value passes another tenth, so that the lines of
// several handsets stay readable.
class port_progress : public progress_handler {
public:
    port_progress(std::string port, std::mutex& output) : port_(std::move(port)), output_(output) {}
    void started() override { shown_ = false; }
    void changed() override
    {
        const std::uint32_t p = percent();
        const std::string text = message();
        if (shown_ && text == last_message_ && p / percent_step == last_percent_ / percent_step)
            return;
        shown_ = true;
        last_message_ = text;
        last_percent_ = p;
        const std::lock_guard lock(output_);
        std::fprintf(stderr, "[%s] %3u%% %s\n", port_.c_str(), p, text.c_str());
        std::fflush(stderr);
    }
    void finished() override {}

private:
    std::string port_;
    std::mutex& output_;
    bool shown_ = false;
    std::uint32_t last_percent_ = 0;
    std::string last_message_;
};

struct handset_job {
    attached_handset handset;
    int handle = -1;
    fwpkg package;
    std::unique_ptr<port_progress> progress;
    std::unique_ptr<flash_report> report;
    bool ok = false;
    std::string outcome;
    double seconds = 0;
};

// Where a handset's backup goes: DIR/SERIAL, or DIR/port-PORT when the serial
// is missing, cannot be a directory name (or be mistaken for a port's), or
// another attached handset has it too. Ports are unique.
std::string backup_dir_of(const std::string& dir, const attached_handset& h, const std::vector<attached_handset>& all)
{
    const auto sharing = std::count_if(all.begin(), all.end(), [&](const attached_handset& o) { return o.serial == h.serial; });
    const bool own = usable_file_name(h.serial) && h.serial.rfind("port-", 0) != 0 && sharing == 1;
    return dir + "/" + (own ? h.serial : "port-" + h.port);
}

// Every handset's backup must fit before any of them hears anything. A
// package whose program file cannot be read is left to each flash to refuse.
bool backups_fit(fwpkg& package, const flash_options& options, std::size_t handsets)
{
    std::uint64_t each = 0;
    try {
        brp_source source(package);
        each = backup_bytes_of(source, options.type);
    } catch (const std::exception&) {
        return true;
    }
    try {
        std::error_code ec;
        std::filesystem::create_directories(options.backup_dir, ec);
        check_backup_room(options.backup_dir, each * handsets);
    } catch (const std::exception& e) {
        json_out::failure(std::string(e.what()) + " (" + std::to_string(handsets) +
                          " handsets). Nothing was written to any handset.");
        return false;
    }
    return true;
}

void run_job(handset_job& job, flash_options options)
{
    const auto start = std::chrono::steady_clock::now();
    job.report->observe(options);
    try {
        job.report->run(
            [&] { return flash_package(job.package, job.handle, job.report->progress(*job.progress), options); });
        job.ok = job.report->ok();
        job.outcome = job.ok ? "Succeeded" : job.report->error_text();
    } catch (const std::exception& e) {
        job.outcome = e.what();
    }
    job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int flash_every_handset(const std::string& path, const flash_options& options,
                        const std::vector<std::string>& extra_keys, bool allow_unsigned)
{
    package_trust trust(extra_keys);
    fwpkg checked;
    open_package(checked, path);
    if (!verify_package(checked, trust)) {
        json_out::failure(path + ": verification failed (" + checked.verify_failure() + "), nothing was written",
                          "digests");
        return exit_failed;
    }
    try {
        const std::string warning = require_trusted(trust.outcome(), allow_unsigned);
        if (!warning.empty())
            std::fprintf(stderr, "%s\n", warning.c_str());
    } catch (const std::exception& e) {
        json_out::failure(path + ": " + e.what() + ", nothing was written", "signature");
        return exit_failed;
    }

    const std::vector<attached_handset> handsets = list_handsets();
    if (handsets.empty()) {
        std::fprintf(stderr, "%s\n", open_failure_text(ENODEV).c_str());
        return exit_failed;
    }
    json_out::object listed = json_out::object::array();
    for (const attached_handset& h : handsets)
        listed.push_back(flash_report::handset_json(h));
    json_out::start({{"package", path}, {"handsets", listed}, {"options", flash_options_json(options)}});
    if (!options.backup_dir.empty() && !backups_fit(checked, options, handsets.size()))
        return exit_failed;
    std::printf("Flashing %s onto %zu handset%s%s\n", checked.device_display_name().c_str(), handsets.size(),
                handsets.size() == 1 ? "" : "s", options.no_write ? " (no write)" : "");
    std::fflush(stdout);
    checked.close();

    // Every worker parses XML; libxml2 sets itself up once, before the threads.
    xmlInitParser();
    // Devices are opened and closed here, one after another: the USB layer's
    // table of handles is not shared between threads, only the handles.
    std::mutex output;
    std::vector<std::unique_ptr<handset_job>> jobs;
    for (const attached_handset& h : handsets) {
        auto job = std::make_unique<handset_job>();
        job->handset = h;
        job->progress = std::make_unique<port_progress>(h.port, output);
        job->report = std::make_unique<flash_report>(h, path);
        try {
            open_package(job->package, path);
            job->handle = open_chosen_handset({"", h.port});
        } catch (const std::exception& e) {
            job->outcome = e.what();
            job->report->failed(e);
        }
        jobs.push_back(std::move(job));
    }

    {
        // Ctrl-C asks every flash to stop at its next safe point, as for one handset.
        std::vector<cancel_request*> requests;
        for (auto& job : jobs)
            requests.push_back(&job->package.cancellation());
        const interrupt_cancels interrupt(requests);
        std::vector<std::thread> workers;
        for (auto& job : jobs) {
            if (job->handle < 0)
                continue;
            flash_options own = options;
            if (!own.backup_dir.empty())
                own.backup_dir = backup_dir_of(options.backup_dir, job->handset, handsets);
            workers.emplace_back([&job = *job, own] { run_job(job, own); });
        }
        for (std::thread& w : workers)
            w.join();
    }

    int status = exit_ok;
    flash_tally tally;
    std::printf("\n%-12s %-20s %8s  %s\n", "Port", "Serial", "Time", "Result");
    for (auto& job : jobs) {
        usb_close(job->handle);
        tally.add(*job->report);
        if (!job->ok)
            status = exit_failed;
        char seconds[16];
        std::snprintf(seconds, sizeof seconds, "%.1f s", job->seconds);
        std::printf("%-12s %-20s %8s  %s\n", job->handset.port.c_str(),
                    job->handset.serial.empty() ? "-" : printable_name(job->handset.serial).c_str(), seconds,
                    job->outcome.c_str());
    }
    json_out::emit("summary", tally.json());
    if (status != exit_ok)
        json_out::failure(tally.text(), "handsets_failed");
    return status;
}
