// The package's digests and signature verified on a thread of their own,
// through a second reader of the same file, while the caller works with its
// own fwpkg.
#pragma once

#include "fwpkg.h"
#include "package_trust.h"

#include <string>
#include <thread>

class background_verification {
public:
    // Opens the package a second time and starts verifying against the keys
    // trust holds (borrowed); throws like fwpkg::open.
    background_verification(const std::string& path, package_trust& trust);
    // Cancels a verification still running and waits for it.
    ~background_verification();
    background_verification(const background_verification&) = delete;
    background_verification& operator=(const background_verification&) = delete;

    // Waits for the verification; throws std::runtime_error "verification
    // failed: <why>" unless both digests matched, and package_trust's refusal
    // when the package is not signed by a trusted key (unless allow_unsigned:
    // then the warning is printed on stderr).
    void require_success(bool allow_unsigned = false);
    // After require_success: whether it failed, and why.
    bool failed() const { return done_ && !ok_; }
    const std::string& failure() const { return failure_; }

private:
    void wait();

    fwpkg package_;
    package_trust& trust_;
    std::thread worker_;
    bool done_ = false;
    bool ok_ = false;
    std::string failure_;
};
