// Reading a handset through the firmware's flash programmer: bringing the
// programmer up (the Sahara upload, or one left running by an earlier
// session), reading sector ranges in bounded pieces, and the LUNs' partition
// tables. The flash uses the same pieces for its backup and read-back.
#pragma once

#include "firehose.h"
#include "flash_options.h"
#include "firmware_source.h"
#include "gpt.h"
#include "usbport.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Proposed as MaxPayloadSizeFromTargetInBytes when the host reads the disk (a
// backup, a read-back, brv read): each read request then carries up to 1 MiB
// instead of 16 KiB, and on a USB 2.0 link reading back costs about what the
// writing did rather than five times as much.
constexpr std::uint32_t read_payload_bytes = 1048576;

// Read requests carry 32-bit sector numbers: sectors from 2^32 on cannot be read.
constexpr std::uint64_t read_sector_limit = std::uint64_t{1} << 32;

// The emergency-download interface's bulk pipe on an open device, closed when
// it goes (the device stays open). Throws link_error when it cannot be opened.
class edl_pipe : public usbport {
public:
    explicit edl_pipe(int device_handle);
};

// Uploads the programmer through the boot ROM's Sahara protocol. False when the
// handset sent no HELLO but a programmer left running by an earlier session
// answers a nop: nothing was uploaded, and that one is used.
bool upload_programmer(int device_handle, const buffer& image);

// Lets a programmer that was just uploaded start as `wait` says: sleeps the
// fixed pause (cut short by a cancel request), or sets link's start_wait_ms so
// that the connection waits.
void let_programmer_start(const programmer_wait& wait, firehose_options& link, const cancel_request* cancel = nullptr);

// The LUNs a handset has: 0 on eMMC, 0 to 5 on UFS.
std::vector<std::uint32_t> memory_luns(std::uint32_t memory_type);

// The size of a LUN in sectors, as the programmer tells it (getStorageInfo when
// it offers it, then getnumdisksectors); 0 when it does not. Leaves the
// programmer on that LUN.
std::uint64_t lun_sectors(firehose& programmer, std::uint32_t lun);

// Streams `count` sectors from `start` on to sink, in pieces of at most the
// programmer's payload size. Sector numbers must lie below 2^32 (the read
// request carries 32 bits); beyond that it throws before reading.
void read_sectors(firehose& programmer, std::uint32_t lun, std::uint64_t start, std::uint64_t count,
                  const data_sink& sink);

// The same range into a file: written to a temporary beside it
// (replacement_file), renamed to path once every sector has arrived and been
// written, and removed when anything fails, so an interrupted read never
// leaves a file that looks complete. A file already at path is never replaced
// unless replace is set ("file: <path> exists"). on_piece gets the bytes read
// so far.
void read_sectors_to_file(firehose& programmer, std::uint32_t lun, std::uint64_t start, std::uint64_t count,
                          const std::string& path, const data_progress& on_piece = {}, bool replace = false);

// Throws "the programmer sends at most <n> bytes per read, less than one
// sector of <m> bytes, so <consequence>" when the payload it agreed to send
// cannot carry a whole sector: every read would fail.
void require_sector_reads(firehose& programmer, const std::string& consequence);

// Sectors of a LUN as the GPT reader asks for them.
gpt_sector_reader lun_sector_reader(firehose& programmer, std::uint32_t lun);

// The partition table of a LUN of `disk_sectors` sectors (0: not known, then
// the backup cannot be tried). Throws as read_gpt; a backup table beyond
// sector 2^32 that would be needed throws gpt_damaged.
gpt_table read_lun_gpt(firehose& programmer, std::uint32_t lun, std::uint64_t disk_sectors);

// The source's programmer running on the handset behind device_handle,
// configured with SkipWrite=1 so that nothing it is asked can write (unless
// may_write: then for the single operations that write or erase). Failures
// read "<phase> failed: <why>. Nothing was written to the handset." (phases:
// "Sending the programmer", "Connecting to the programmer"; a programmer that
// cannot send a whole sector per read fails the second).
class handset_reader {
public:
    handset_reader(firmware_source& source, int device_handle, const firehose_options& link = {},
                   bool may_write = false, const programmer_wait& wait = {});
    handset_reader(const handset_reader&) = delete;
    handset_reader& operator=(const handset_reader&) = delete;

    firehose& programmer() { return programmer_; }

private:
    std::optional<edl_pipe> pipe_;  // outlives the programmer speaking through it
    firehose programmer_;
};
