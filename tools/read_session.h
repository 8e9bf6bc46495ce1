// What the commands that work on one handset share (partitions, read, write,
// erase, slot, storage): the firmware opened (a package or a folder), the
// chosen handset opened, the firmware's programmer running on it (configured to
// write nothing unless the command writes), the partition tables of its LUNs
// and the partitions found in them by label.
#pragma once

#include "attached_handset.h"
#include "firmware_open.h"
#include "gpt.h"
#include "handset_reader.h"
#include "options.h"

#include <cstdint>
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

// --lun N checked against the storage the firmware is made for; throws
// usage_error "LUN 7 does not exist on this handset (UFS storage has LUNs 0 to 5)".
void check_lun_option(std::uint32_t memory_type, std::optional<std::uint32_t> lun);

// One partition found by its label.
struct located_partition {
    std::string label;
    std::uint32_t lun = 0;
    std::uint64_t first = 0;
    std::uint64_t sectors = 0;
    std::string where() const;  // "boot_a (LUN 4)"
};

class read_session {
public:
    // Opens the firmware, checks the command's --lun (when given) against its
    // storage, opens the handset and starts the programmer (allowed to write
    // when may_write). Throws usage_error for the --lun before the handset
    // hears anything, several_handsets, or std::runtime_error with the text
    // for the user.
    read_session(const std::string& source_path, const folder_options& folder, const handset_choice& choice,
                 bool may_write = false, std::optional<std::uint32_t> lun = {});
    read_session(const read_session&) = delete;
    read_session& operator=(const read_session&) = delete;

    firmware_source& source() { return firmware_.source(); }
    firehose& programmer() { return reader_->programmer(); }

    // The handset's LUNs (0 on eMMC, 0 to 5 on UFS), or only `only`.
    std::vector<std::uint32_t> luns(std::optional<std::uint32_t> only) const;
    // Each LUN's size and table; a LUN without a usable table says why. A
    // failure of the link reads "Reading the partition table of LUN n
    // failed: <why>. Nothing was written to the handset."
    std::vector<lun_table> tables(std::optional<std::uint32_t> only);
    // Each label (duplicates once, in the order given) found exactly once in
    // the tables of the LUNs (or of `only`) with a sound entry there, looked up
    // before anything is done. Throws std::runtime_error "No partition
    // labelled ...", "The label ... names N partitions: ...; choose one LUN
    // with --lun." or "Cannot <action> <label> (LUN n, sectors a to b): its
    // entry in the partition table is unsound (...)", each ending with
    // nothing_done ("Nothing was read.").
    std::vector<located_partition> locate(const std::vector<std::string>& labels, std::optional<std::uint32_t> only,
                                          const std::string& action, const std::string& nothing_done);

private:
    opened_firmware firmware_;
    std::uint32_t memory_type_;
    std::unique_ptr<handset_handle> handle_;
    std::unique_ptr<handset_reader> reader_;
};
