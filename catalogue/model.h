// The handset models the tool knows: storage, sector size and USB identities
// per model, built in and from ~/.brv/models.xml.
#pragma once

#include "buffer.h"
#include "memory_type.h"
#include "usb_id.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>


class model {
public:
    enum vidpid_index { fastboot = 0, diag = 1, adb = 2 };

    // Parses a row "name,memory,sector_size,fastboot,diag,adb"; fields a short
    // row does not reach stay 0. Throws std::runtime_error("Bad vidpid").
    explicit model(const std::string& row);

    const std::string& name() const { return name_; }
    std::uint32_t memory_type() const { return memory_type_; }
    void memory_type(const char* name);
    std::uint32_t sector_size() const { return sector_size_; }
    void sector_size(std::uint32_t n) { sector_size_ = n; }
    const usb_vidpid_t& vidpid(unsigned index) const { return ids_.at(index); }
    // "vvvv:pppp" in hex, optional "0x" on either half; throws "Bad vidpid"
    // when there is no ":" (the vendor id is already replaced then).
    void set_vidpid(unsigned index, const std::string& text);

private:
    std::string name_;
    std::uint32_t memory_type_ = memory_unknown;
    std::uint32_t sector_size_ = 0;
    std::array<usb_vidpid_t, 3> ids_{};
};

// The built-in list, built during static initialisation.
const std::vector<model>& builtin_models();
// $HOME/.brv/models.xml, loaded on first use (and again while it yields no model).
// Throws "Failed to parse models.xml", "Failed to find models tag in models.xml",
// "Bad vidpid".
const std::vector<model>& user_models();
// User list first, then built-in. Throws "No such model: <name>".
model find_model(const std::string& name);
// Empties the user list so the next lookup reads models.xml again (for tests,
// which change HOME between cases).
void forget_user_models();
bool model_exists(const std::string& name);
// Contents of $HOME/.brv/firehose_<name>.bin; throws "Cannot get firehose"
// (also for a name that cannot be a file name: with "/" or NUL), or the file
// class's error when the file cannot be opened or read.
buffer model_firehose(const model& m);
