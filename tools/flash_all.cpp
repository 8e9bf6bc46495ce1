#include "flash_all.h"

#include "command.h"
#include "attached_handset.h"
#include "brp_source.h"
#include "flash_args.h"
#include "flash_report.h"
#include "text_names.h"
#include "fwpkg.h"
#include "package_open.h"
#include "usb.h"
#include "verify_package.h"

#include <libxml/parser.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
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

// Ctrl-C asks every flash to stop at its next safe point, as for one handset.
std::atomic<std::vector<std::unique_ptr<handset_job>>*> interrupted_jobs{nullptr};
volatile std::sig_atomic_t interrupt_seen = 0;

void cancel_every_flash(int)
{
    interrupt_seen = 1;
    if (auto* jobs = interrupted_jobs.load())
        for (auto& job : *jobs)
            job->package.cancel();
    std::signal(SIGINT, SIG_DFL);
}

class cancel_on_interrupt {
public:
    explicit cancel_on_interrupt(std::vector<std::unique_ptr<handset_job>>& jobs)
    {
        interrupt_seen = 0;
        interrupted_jobs.store(&jobs);
        struct sigaction sa {};
        sa.sa_handler = cancel_every_flash;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &previous_);
    }
    cancel_on_interrupt(const cancel_on_interrupt&) = delete;
    cancel_on_interrupt& operator=(const cancel_on_interrupt&) = delete;
    ~cancel_on_interrupt()
    {
        sigaction(SIGINT, &previous_, nullptr);
        interrupted_jobs.store(nullptr);
    }
    bool interrupted() const { return interrupt_seen != 0; }

private:
    struct sigaction previous_ {};
};

// Where a handset's backup goes: DIR/SERIAL, or DIR/port-PORT when the serial
// is missing or cannot be a directory name.
std::string backup_dir_of(const std::string& dir, const attached_handset& h)
{
    return dir + "/" + (usable_file_name(h.serial) ? h.serial : "port-" + h.port);
}

void run_job(handset_job& job, flash_options options)
{
    const auto start = std::chrono::steady_clock::now();
    job.report->observe(options);
    try {
        job.report->run([&] { flash_package(job.package, job.handle, job.report->progress(*job.progress), options); },
                        &job.package.cancellation());
        job.ok = job.report->ok();
        job.outcome = job.ok ? "Succeeded" : job.report->error_text();
    } catch (const std::exception& e) {
        job.outcome = e.what();
    }
    job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int flash_every_handset(const std::string& path, const flash_options& options)
{
    fwpkg checked;
    open_package(checked, path);
    if (!verify_package(checked)) {
        std::fprintf(stderr, "%s: verification failed (%s), nothing was written\n", path.c_str(),
                     checked.verify_failure().c_str());
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
        const cancel_on_interrupt interrupt(jobs);
        std::vector<std::thread> workers;
        for (auto& job : jobs) {
            if (job->handle < 0)
                continue;
            flash_options own = options;
            if (!own.backup_dir.empty())
                own.backup_dir = backup_dir_of(options.backup_dir, job->handset);
            workers.emplace_back([&job = *job, own] { run_job(job, own); });
        }
        for (std::thread& w : workers)
            w.join();
        if (interrupt.interrupted())
            for (auto& job : jobs)
                if (job->ok) {
                    job->ok = false;
                    job->outcome = "Cancelled: the remaining OS partitions were not written";
                }
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
                    job->handset.serial.empty() ? "-" : job->handset.serial.c_str(), seconds, job->outcome.c_str());
    }
    json_out::emit("summary", tally.json());
    if (status != exit_ok)
        json_out::failure(tally.text(), "handsets_failed");
    return status;
}
