// The programmer's verbs beyond writing and reading: its list of verbs, digests
// of ranges on the handset, erasing, the bootable drive and the storage report.
#include "firehose.h"

#include "firehose_request.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <limits>
#include <sstream>

namespace {

constexpr char verbs_marker[] = "Supported Functions";
// What every programmer answers, listed or not.
constexpr const char* core_verbs[] = {"configure", "program", "read", "patch", "nop", "power"};

constexpr char digest_verb[] = "getsha256digest";
constexpr char erase_verb[] = "erase";
constexpr char bootable_verb[] = "setbootablestoragedrive";
constexpr char storage_info_verb[] = "getStorageInfo";

constexpr char digest_element[] = "<getsha256digest SECTOR_SIZE_IN_BYTES=\"%u\" physical_partition_number=\"%u\" "
                                  "start_sector=\"%llu\" num_partition_sectors=\"%llu\"/>";
constexpr char erase_range_element[] = "<erase SECTOR_SIZE_IN_BYTES=\"%u\" physical_partition_number=\"%u\" "
                                       "start_sector=\"%llu\" num_partition_sectors=\"%llu\"/>";
constexpr char erase_lun_element[] = "<erase SECTOR_SIZE_IN_BYTES=\"%u\" physical_partition_number=\"%u\"/>";
constexpr char bootable_element[] = "<setbootablestoragedrive value=\"%u\"/>";
constexpr char storage_info_element[] = "<getStorageInfo physical_partition_number=\"%u\"/>";

constexpr char digest_prefix[] = "Digest 0x";
constexpr std::size_t digest_bytes = 32;

// The slowest rates a programmer is given before its silence counts as a
// failure: real ones hash at storage read speed (tens of MB/s at the least)
// and erase faster than they write. A whole LUN is erased without a size.
constexpr std::uint64_t slowest_digest_bytes_per_ms = 5000;   // 5 MB/s
constexpr std::uint64_t slowest_erase_bytes_per_ms = 20000;   // 20 MB/s
constexpr std::uint32_t whole_lun_erase_ms = 600000;          // 10 minutes
constexpr std::uint32_t quick_answer_ms = 0;                  // the storage time-out

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::uint32_t wait_for_bytes(std::uint64_t bytes, std::uint64_t bytes_per_ms)
{
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes / bytes_per_ms, UINT32_MAX));
}

unsigned long long ull(std::uint64_t v)
{
    return static_cast<unsigned long long>(v);
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// "Digest 0x" and 64 hexadecimal digits, anywhere in the line.
bool parse_digest(const std::string& line, std::array<std::uint8_t, digest_bytes>* out)
{
    const std::size_t at = line.find(digest_prefix);
    if (at == std::string::npos)
        return false;
    const std::size_t first = at + sizeof digest_prefix - 1;
    if (line.size() < first + 2 * digest_bytes)
        return false;
    for (std::size_t i = 0; i < digest_bytes; ++i) {
        const int high = hex_digit(line[first + 2 * i]);
        const int low = hex_digit(line[first + 2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        (*out)[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

template <typename Number>
Number json_number(const nlohmann::json& object, const char* key)
{
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number_unsigned() || it->get<std::uint64_t>() > std::numeric_limits<Number>::max())
        return 0;
    return static_cast<Number>(it->get<std::uint64_t>());
}

std::string json_text(const nlohmann::json& object, const char* key)
{
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// {"storage_info": {"total_blocks": N, "block_size": N, ...}}, where the line is one.
bool parse_storage_json(const std::string& line, firehose_storage_info* info)
{
    const std::size_t open = line.find('{');
    if (open == std::string::npos)
        return false;
    const nlohmann::json doc = nlohmann::json::parse(line.begin() + static_cast<std::ptrdiff_t>(open), line.end(),
                                                     nullptr, false);
    if (!doc.is_object() || !doc.contains("storage_info") || !doc["storage_info"].is_object())
        return false;
    const nlohmann::json& s = doc["storage_info"];
    info->total_blocks = json_number<std::uint64_t>(s, "total_blocks");
    info->block_size = json_number<std::uint32_t>(s, "block_size");
    info->page_size = json_number<std::uint32_t>(s, "page_size");
    info->num_physical = json_number<std::uint32_t>(s, "num_physical");
    info->mem_type = json_text(s, "mem_type");
    info->prod_name = json_text(s, "prod_name");
    return true;
}

// "INFO: total_blocks=N block_size=N num_physical=N mem_type=UFS".
bool parse_storage_words(const std::string& line, firehose_storage_info* info)
{
    if (line.find("total_blocks=") == std::string::npos)
        return false;
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
        const std::size_t eq = word.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = word.substr(0, eq);
        const std::string value = word.substr(eq + 1);
        const unsigned long long number = std::strtoull(value.c_str(), nullptr, 10);
        if (key == "total_blocks")
            info->total_blocks = number;
        else if (key == "block_size" && number <= UINT32_MAX)
            info->block_size = static_cast<std::uint32_t>(number);
        else if (key == "num_physical" && number <= UINT32_MAX)
            info->num_physical = static_cast<std::uint32_t>(number);
        else if (key == "mem_type")
            info->mem_type = value;
    }
    return true;
}

} // namespace

void firehose::note_log(const std::string& line)
{
    response_logs_.push_back(line);
    const std::size_t at = line.find(verbs_marker);
    if (at == std::string::npos)
        return;
    // "Supported Functions: a b c" (some say "Supported Functions (13): ...").
    const std::size_t colon = line.find(':', at);
    if (colon == std::string::npos)
        return;
    std::istringstream words(line.substr(colon + 1));
    verbs_.clear();
    for (std::string verb; words >> verb;)
        verbs_.push_back(lower(verb));
    verbs_known_ = true;
}

bool firehose::supports(const std::string& verb) const
{
    const std::string wanted = lower(verb);
    if (!verbs_known_)
        return std::find(std::begin(core_verbs), std::end(core_verbs), wanted) != std::end(core_verbs);
    return std::find(verbs_.begin(), verbs_.end(), wanted) != verbs_.end();
}

void firehose::verb_request(const char* verb, const std::string& request, std::uint32_t timeout_ms, slot* slots,
                            std::size_t count)
{
    if (!supports(verb))
        throw std::runtime_error(std::string("firehose: the programmer does not offer ") + verb);
    send(request);
    slot value{"value", {}};
    if (slots == nullptr) {
        slots = &value;
        count = 1;
    }
    receive_response_within(timeout_ms, slots, count);
    if (slots[0].value != "ACK")
        refuse("no ack from target");
}

std::array<std::uint8_t, 32> firehose::sha256_digest(std::uint32_t lun, std::uint64_t start_sector,
                                                     std::uint64_t sectors)
{
    verb_request(digest_verb,
                 firehose_request(digest_element, sector_size_, lun, ull(start_sector), ull(sectors)),
                 wait_for_bytes(sectors * sector_size_, slowest_digest_bytes_per_ms));
    std::array<std::uint8_t, digest_bytes> digest{};
    for (const auto& line : response_logs_)
        if (parse_digest(line, &digest))
            return digest;
    throw std::runtime_error("firehose: no digest in the programmer's answer");
}

void firehose::erase(std::uint32_t lun, std::uint64_t start_sector, std::uint64_t sectors)
{
    // Counted as sent: a refused erase may have begun.
    storage_touched_ = true;
    verb_request(erase_verb, firehose_request(erase_range_element, sector_size_, lun, ull(start_sector), ull(sectors)),
                 wait_for_bytes(sectors * sector_size_, slowest_erase_bytes_per_ms));
}

void firehose::erase_lun(std::uint32_t lun)
{
    storage_touched_ = true;
    verb_request(erase_verb, firehose_request(erase_lun_element, sector_size_, lun), whole_lun_erase_ms);
}

void firehose::set_bootable_storage_drive(std::uint32_t lun)
{
    storage_touched_ = true;
    verb_request(bootable_verb, firehose_request(bootable_element, lun), quick_answer_ms);
}

firehose_storage_info firehose::storage_info(std::uint32_t lun)
{
    slot reply[] = {{"value", {}}, {"TotalLogicalBlocks", {}}};
    verb_request(storage_info_verb, firehose_request(storage_info_element, lun), quick_answer_ms, reply, 2);
    firehose_storage_info info;
    for (const auto& line : response_logs_)
        if (parse_storage_json(line, &info))
            return info;
    for (const auto& line : response_logs_)
        if (parse_storage_words(line, &info))
            return info;
    if (!reply[1].value.empty() && std::isdigit(static_cast<unsigned char>(reply[1].value[0])))
        info.total_blocks = std::strtoull(reply[1].value.c_str(), nullptr, 0);
    return info;
}
