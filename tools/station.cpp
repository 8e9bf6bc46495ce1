#include "station.h"

#include "attached_handset.h"
#include "firmware_open.h"
#include "command.h"
#include "flash.h"
#include "flash_args.h"
#include "flash_report.h"
#include "fwpkg.h"
#include "json_output.h"
#include "package_open.h"
#include "package_trust.h"
#include "usb.h"
#include "verify_package.h"

#include <libxml/parser.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr auto loop_wait = std::chrono::milliseconds(100);

// Each flash reads the firmware through a reader of its own.
std::unique_ptr<opened_firmware> open_station_source(const station_settings& settings)
{
    return std::make_unique<opened_firmware>(settings.source, settings.folder);
}

// SIGINT and SIGTERM counted while the station runs; the third one of SIGINT
// gets the default action.
std::atomic<int> stop_requests{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler changes it");

void on_stop_signal(int)
{
    if (stop_requests.fetch_add(1) + 1 >= 2) {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
    }
}

class stop_signals {
public:
    stop_signals()
    {
        stop_requests.store(0);
        struct sigaction sa {};
        sa.sa_handler = on_stop_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &previous_int_);
        sigaction(SIGTERM, &sa, &previous_term_);
    }
    stop_signals(const stop_signals&) = delete;
    stop_signals& operator=(const stop_signals&) = delete;
    ~stop_signals()
    {
        sigaction(SIGINT, &previous_int_, nullptr);
        sigaction(SIGTERM, &previous_term_, nullptr);
    }
    int count() const { return stop_requests.load(); }

private:
    struct sigaction previous_int_ {}, previous_term_ {};
};

// The results file: appended to, one whole line per write, never through a
// symbolic link.
class result_log {
public:
    explicit result_log(const std::string& path) : path_(path)
    {
        if (path.empty())
            return;
        fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd_ < 0)
            throw std::runtime_error("Cannot open the log " + path + ": " + std::strerror(errno));
    }
    result_log(const result_log&) = delete;
    result_log& operator=(const result_log&) = delete;
    ~result_log()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    void append(const std::string& line)
    {
        if (fd_ < 0)
            return;
        const ssize_t n = ::write(fd_, line.data(), line.size());
        if (n != static_cast<ssize_t>(line.size()))
            std::fprintf(stderr, "brv station: cannot append to the log %s: %s\n", path_.c_str(),
                         n < 0 ? std::strerror(errno) : "short write");
    }

private:
    std::string path_;
    int fd_ = -1;
};

struct station_job {
    usb_device_ref device;
    int handle = -1;
    attached_handset handset;
    std::unique_ptr<opened_firmware> firmware;
    std::unique_ptr<flash_report> report;
    null_progress quiet;
    cancel_request cancel;
    std::thread worker;
    std::atomic<bool> done{false};
};

// An attached device the station has taken (flashed, or seen while stopping).
struct known_device {
    usb_device_ref device;
    std::string port;
};

class station {
public:
    station(const station_settings& settings, result_log& log) : settings_(settings), log_(log) {}

    int run();

private:
    void on_change(const usb_device_ref& device, usb_device_watch::change what);
    void arrived(const usb_device_ref& device);
    void left(const usb_device_ref& device);
    void start_job(const usb_device_ref& device, const std::string& port);
    void reap();
    void record(const flash_report& report);
    void human(const std::string& port, const std::string& text);

    const station_settings& settings_;
    result_log& log_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::pair<usb_device_ref, usb_device_watch::change>> changes_;  // under lock_
    bool job_ended_ = false;                                                    // under lock_
    std::map<libusb_device*, known_device> known_;
    std::list<std::unique_ptr<station_job>> running_;
    flash_tally tally_;
    bool stopping_ = false;
    std::mutex human_lock_;
};

void station::human(const std::string& port, const std::string& text)
{
    if (json_out::enabled())
        return;
    const std::lock_guard guard(human_lock_);
    std::fprintf(stderr, "[%s] %s\n", port.c_str(), text.c_str());
    std::fflush(stderr);
}

void station::on_change(const usb_device_ref& device, usb_device_watch::change what)
{
    {
        const std::lock_guard guard(lock_);
        changes_.emplace_back(device, what);
    }
    wake_.notify_one();
}

void station::arrived(const usb_device_ref& device)
{
    if (known_.count(device.get()))
        return;  // already taken during this plug
    char port[usb_port_path_size];
    usb_port_path(device.get(), port, sizeof port);
    known_[device.get()] = {device, port};
    if (stopping_) {
        human(port, "attached; not flashed: the station is stopping");
        json_out::emit("attached", {{"handset", {{"port", port}, {"serial", nullptr}}}, {"flashed", false}});
        return;
    }
    start_job(device, port);
}

void station::left(const usb_device_ref& device)
{
    const auto it = known_.find(device.get());
    if (it == known_.end())
        return;
    human(it->second.port, "unplugged");
    json_out::emit("left", {{"handset", {{"port", it->second.port}}}});
    known_.erase(it);
}

void station::start_job(const usb_device_ref& device, const std::string& port)
{
    auto job = std::make_unique<station_job>();
    job->device = device;
    job->handset.port = port;
    // Devices are opened and closed on this thread only: the USB layer's
    // table of handles is not shared between threads, only the handles.
    job->handle = usb_open(device.get());
    if (job->handle < 0) {
        const int error = errno;
        job->report = std::make_unique<flash_report>(job->handset, settings_.source);
        job->report->failed(std::runtime_error(open_failure_text(error)));
        record(*job->report);
        return;
    }
    job->handset = describe_open_handset(job->handle);
    job->report = std::make_unique<flash_report>(job->handset, settings_.source);
    json_out::emit("attached", {{"handset", flash_report::handset_json(job->handset)}, {"flashed", true}});
    human(port, "attached" + (job->handset.serial.empty() ? "" : " (serial " + job->handset.serial + ")") +
                    "; flashing");
    try {
        job->firmware = open_station_source(settings_);
    } catch (const std::exception& e) {
        usb_close(job->handle);
        job->report->failed(e);
        record(*job->report);
        return;
    }
    flash_options options = settings_.options;
    options.cancel = &job->cancel;
    options.on_phase = [this, port](const std::string& phase) { human(port, phase); };
    job->report->observe(options);
    station_job& j = *job;
    j.worker = std::thread([this, &j, options] {
        try {
            j.report->run([&] { return flash_handset(j.firmware->source(), j.handle, j.report->progress(j.quiet), options); });
        } catch (const std::exception&) {
            // The report holds the failure.
        }
        j.done.store(true);
        {
            const std::lock_guard guard(lock_);
            job_ended_ = true;
        }
        wake_.notify_one();
    });
    running_.push_back(std::move(job));
}

void station::reap()
{
    for (auto it = running_.begin(); it != running_.end();) {
        station_job& j = **it;
        if (!j.done.load()) {
            ++it;
            continue;
        }
        j.worker.join();
        usb_close(j.handle);
        record(*j.report);
        it = running_.erase(it);
    }
}

void station::record(const flash_report& report)
{
    tally_.add(report);
    const json_out::object& r = report.result();
    log_.append(json_out::line("result", r));
    if (json_out::enabled())
        return;  // the result event is on stdout already
    const std::string serial = r["handset"]["serial"].is_null() ? "-" : r["handset"]["serial"].get<std::string>();
    char head[160];
    std::snprintf(head, sizeof head, "%s  %-10s %-16s %8.1f s %12llu bytes  ", r["started"].get<std::string>().c_str(),
                  r["handset"]["port"].get<std::string>().c_str(), serial.c_str(), r["seconds"].get<double>(),
                  static_cast<unsigned long long>(r["bytes"].get<std::uint64_t>()));
    std::printf("%s%s\n", head, report.ok() ? "Succeeded" : ("FAILED " + report.error_text()).c_str());
    std::fflush(stdout);
}

int station::run()
{
    const stop_signals signals;
    usb_device_watch watch(
        edl_vidpid, [this](const usb_device_ref& d, usb_device_watch::change what) { on_change(d, what); },
        settings_.watch);
    json_out::emit("ready", {{"watch", watch.hotplug() ? "hotplug" : "polling"}});
    std::fprintf(stderr, "Waiting for handsets (%s); Ctrl-C stops taking new ones.\n",
                 watch.hotplug() ? "hot-plug notification" : "looking at the bus twice a second");
    bool cancelling = false;
    for (;;) {
        std::deque<std::pair<usb_device_ref, usb_device_watch::change>> changes;
        {
            std::unique_lock guard(lock_);
            wake_.wait_for(guard, loop_wait, [this] { return !changes_.empty() || job_ended_; });
            changes.swap(changes_);
            job_ended_ = false;
        }
        const int stops = signals.count();
        if (stops >= 1 && !stopping_) {
            stopping_ = true;
            json_out::emit("stopping", {{"running", running_.size()}});
            std::fprintf(stderr, "Stopping: no new handsets; %zu flash%s still running (Ctrl-C again cancels %s).\n",
                         running_.size(), running_.size() == 1 ? "" : "es", running_.size() == 1 ? "it" : "them");
        }
        if (stops >= 2 && !cancelling) {
            cancelling = true;
            for (auto& job : running_)
                job->cancel.request();
        }
        for (const auto& [device, what] : changes) {
            if (what == usb_device_watch::change::arrived)
                arrived(device);
            else
                left(device);
        }
        reap();
        if (stopping_ && running_.empty())
            break;
    }
    json_out::emit("summary", tally_.json());
    std::printf("Summary: %s\n", tally_.text().c_str());
    if (tally_.failed() > 0) {
        json_out::failure(tally_.text(), "handsets_failed");
        return exit_failed;
    }
    return exit_ok;
}

} // namespace

int run_station(const station_settings& settings)
{
    result_log log(settings.log_path);
    // A broken trusted-key file stops the station before anything is read.
    package_trust trust(settings.extra_keys);
    std::string warning;
    {
        // Refused here, a folder that lacks what a flash needs or a package
        // that is not one stops the station before any handset is taken.
        opened_firmware checked(settings.source, settings.folder);
        const std::string device = checked.source().display_name();
        json_out::start({{"source", settings.source},
                         {"device", device},
                         {"options", flash_options_json(settings.options)},
                         {"log", settings.log_path.empty() ? json_out::object(nullptr) : json_out::object(settings.log_path)},
                         {"host", host_name()}});
        if (checked.package()) {
            // A reader of its own: the source holds the other one.
            fwpkg package;
            open_package(package, settings.source);
            json_out::emit("phase", {{"phase", "Verifying the package"}});
            if (!verify_package(package, trust)) {
                json_out::failure(settings.source + ": verification failed (" + package.verify_failure() +
                                      "), no handset was flashed",
                                  "digests");
                return exit_failed;
            }
        }
        try {
            warning = checked.package() ? require_trusted(trust.outcome(), settings.allow_unsigned)
                                        : require_trusted_folder(trust, settings.allow_unsigned);
        } catch (const std::exception& e) {
            json_out::failure(settings.source + ": " + e.what() + "; no handset was flashed", "signature");
            return exit_failed;
        }
        std::fprintf(stderr, "%s: %s %s.\n", settings.source.c_str(), device.c_str(),
                     checked.package() ? "verified" : "checked");
    }
    if (!warning.empty())
        std::fprintf(stderr, "%s\n", warning.c_str());
    // Every flash parses XML; libxml2 sets itself up once, before the threads.
    xmlInitParser();
    station s(settings, log);
    return s.run();
}
