// The package's digests verified on a thread of their own, through a second
// reader of the same file, while the caller works with its own fwpkg.
#pragma once

#include "fwpkg.h"

#include <string>
#include <thread>

class background_verification {
public:
    // Opens the package a second time and starts verifying; throws like fwpkg::open.
    explicit background_verification(const std::string& path);
    // Cancels a verification still running and waits for it.
    ~background_verification();
    background_verification(const background_verification&) = delete;
    background_verification& operator=(const background_verification&) = delete;

    // Waits for the verification; throws std::runtime_error "verification
    // failed: <why>" unless both digests matched.
    void require_success();
    // After require_success: whether it failed, and why.
    bool failed() const { return done_ && !ok_; }
    const std::string& failure() const { return failure_; }

private:
    void wait();

    fwpkg package_;
    std::thread worker_;
    bool done_ = false;
    bool ok_ = false;
    std::string failure_;
};
