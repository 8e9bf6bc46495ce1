// What brv partitions and brv read share: the package opened, the chosen
// handset opened, the package's programmer running on it and configured to
// write nothing, and the partition tables of its LUNs.
#pragma once

#include "attached_handset.h"
#include "brp_source.h"
#include "fwpkg.h"
#include "gpt.h"
#include "handset_reader.h"
#include "options.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// --lun N of a parsed command line, when given.
std::optional<std::uint32_t> lun_option(const parsed_args& args);
// A plain decimal number, for option `name`; throws usage_error otherwise.
std::uint64_t decimal_option(const parsed_args& args, const std::string& name);

// One LUN's partition table, or why there is none.
struct lun_table {
    std::uint32_t lun = 0;
    std::uint64_t sectors = 0;  // 0: the programmer did not tell
    std::optional<gpt_table> table;
    bool absent = false;      // no GPT signature: a blank LUN
    std::string problem;      // set when there is no table
};

// --lun N checked against the storage the package is made for; throws
// usage_error "LUN 7 does not exist on this handset (UFS storage has LUNs 0 to 5)".
void check_lun_option(const fwpkg& package, std::optional<std::uint32_t> lun);

class read_session {
public:
    // Opens the package, runs before_handset on it (what the command line asks
    // is checked there, before the handset hears anything), opens the handset
    // and starts the programmer. Throws several_handsets, or
    // std::runtime_error with the text for the user.
    read_session(const std::string& package_path, const handset_choice& choice,
                 const std::function<void(const fwpkg&)>& before_handset = {});
    read_session(const read_session&) = delete;
    read_session& operator=(const read_session&) = delete;

    fwpkg& package() { return package_; }
    firehose& programmer() { return reader_->programmer(); }

    // The handset's LUNs (0 on eMMC, 0 to 5 on UFS), or only `only`.
    std::vector<std::uint32_t> luns(std::optional<std::uint32_t> only) const;
    // Each LUN's size and table; a LUN without a usable table says why. A
    // failure of the link reads "Reading the partition table of LUN n
    // failed: <why>. Nothing was written to the handset."
    std::vector<lun_table> tables(std::optional<std::uint32_t> only);

private:
    fwpkg package_;
    std::unique_ptr<brp_source> source_;
    std::unique_ptr<handset_handle> handle_;
    std::unique_ptr<handset_reader> reader_;
};
