#include "background_verification.h"

#include <exception>
#include <stdexcept>

background_verification::background_verification(const std::string& path)
{
    package_.open(path);
    worker_ = std::thread([this] {
        null_progress progress;
        try {
            ok_ = package_.verify(progress);
            if (!ok_)
                failure_ = package_.verify_failure();
        } catch (const std::exception& e) {
            ok_ = false;
            failure_ = e.what();
        }
    });
}

background_verification::~background_verification()
{
    package_.cancel();
    wait();
}

void background_verification::wait()
{
    if (worker_.joinable())
        worker_.join();
    done_ = true;
}

void background_verification::require_success()
{
    wait();
    if (!ok_)
        throw std::runtime_error("verification failed: " + (failure_.empty() ? std::string("cancelled") : failure_));
}
