#include "background_verification.h"

#include <cstdio>
#include <exception>
#include <stdexcept>

background_verification::background_verification(const std::string& path, package_trust& trust) : trust_(trust)
{
    package_.open(path);
    worker_ = std::thread([this] {
        null_progress progress;
        try {
            ok_ = trust_.verify(package_, progress);
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

void background_verification::require_success(bool allow_unsigned)
{
    wait();
    if (!ok_)
        throw std::runtime_error("verification failed: " + (failure_.empty() ? std::string("cancelled") : failure_));
    const std::string warning = require_trusted(trust_.outcome(), allow_unsigned);
    if (!warning.empty())
        std::fprintf(stderr, "%s\n", warning.c_str());
}
