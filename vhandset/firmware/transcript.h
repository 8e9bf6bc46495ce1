// What the handset received, one line per event, appended to
// <state_dir>/transcript.txt and written out line by line (each line is one
// write(2) on an O_APPEND descriptor, so readers never see half a line).
//
// Line format (numbers in decimal unless written 0x...):
//   Boot ROM, one line per packet or data piece it receives:
//     sahara HELLO_RESP version=<v> compatible=<c> status=<s> mode=<m>
//     sahara DONE
//     sahara RESET
//     sahara CMD_SWITCH_MODE mode=<m>
//     sahara CMD_EXECUTE command=<c>
//     sahara CMD_EXECUTE_DATA command=<c>
//     sahara MEMORY_READ address=0x<hex> length=0x<hex>
//     sahara MEMORY_READ_64 address=0x<hex> length=0x<hex>
//     sahara data offset=<o> length=<n>          image bytes answering a read request
//                                                (offset = the request's; n = bytes that came)
//     sahara bad-packet size=<n> command=<c> length=<l>
//                                                a packet the ROM could not accept (c, l: its
//                                                first two words, 0 when missing)
//   Flash programmer, one line per request and per raw data phase:
//     firehose <element .../>                    the request's element text between <data> and
//                                                </data>, trimmed, line breaks and tabs as spaces
//     firehose invalid <n> bytes                 a request that is not an XML document whose
//                                                <data> root holds an element
//     firehose raw <n> bytes                     bytes taken in one program data phase
//     firehose erase lun=<l> start_sector=<s> num_sectors=<n>
//                                                right after an erase request's line when it
//                                                zeroed the sectors (none when refused or
//                                                under SkipWrite); a whole-LUN erase shows
//                                                start_sector=0 and the LUN's size
//     firehose bootable drive <n>                right after a setbootablestoragedrive request's
//                                                line when LUN n became the boot LUN
//   With --record-writes on, also:
//     firehose writes <k>: <size>[x<repeat>] ... right after each "firehose raw" line: the
//                                                k host OUT transfers that completed in that
//                                                data phase, in order, equal sizes in a row
//                                                written once with their count, e.g.
//                                                "firehose writes 5: 1048576x4 4096" or
//                                                "firehose writes 3: 4096 0 4096" (0: a
//                                                zero-length packet); " ..." ends the line
//                                                after 1000 runs
//     firehose zero-length packet                a zero-length OUT transfer outside any
//                                                data phase (where a request was awaited)
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vhandset {

class transcript {
public:
    // Opens (creating) <state_dir>/transcript.txt for appending. When it cannot
    // be opened the handset still works and its lines are dropped.
    explicit transcript(const std::filesystem::path& state_dir);
    ~transcript();
    transcript(const transcript&) = delete;
    transcript& operator=(const transcript&) = delete;

    // Appends `text` and a newline. Write failures are ignored: the handset
    // keeps working even when its record cannot be kept.
    bool is_open() const { return fd_ >= 0; }
    void line(const std::string& text);

    static std::filesystem::path file(const std::filesystem::path& state_dir);

private:
    int fd_ = -1;
};

// The lines of <state_dir>/transcript.txt, without newlines; empty when missing.
std::vector<std::string> read_transcript_file(const std::filesystem::path& state_dir);

} // namespace vhandset
