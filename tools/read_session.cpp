#include "read_session.h"

#include "flash_phases.h"
#include "memory_type.h"
#include "text_names.h"

#include <algorithm>
#include <set>

std::optional<std::uint32_t> lun_option(const parsed_args& args)
{
    if (!args.has("--lun"))
        return std::nullopt;
    const std::uint64_t lun = decimal_option(args, "--lun");
    if (lun > UINT32_MAX)
        throw usage_error("--lun takes a LUN number such as 0");
    return static_cast<std::uint32_t>(lun);
}

std::uint64_t decimal_option(const parsed_args& args, const std::string& name)
{
    const std::string text = args.value(name, "");
    const bool digits = !text.empty() && text.size() <= 19 &&
                        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits)
        throw usage_error(name + " takes a decimal number, not '" + text + "'");
    return std::stoull(text);
}

void check_lun_option(std::uint32_t memory_type, std::optional<std::uint32_t> lun)
{
    std::string why;
    if (lun && !memory_has_lun(memory_type, *lun, &why))
        throw usage_error("LUN " + std::to_string(*lun) + " does not exist on this handset (" + why + ")");
}

std::string located_partition::where() const
{
    return printable_name(label) + " (LUN " + std::to_string(lun) + ")";
}

// A package's programmer member is checked through its CRC as it is read; its
// digests guard the images, which only the commands that write send, after
// checking them whole.
read_session::read_session(const std::string& source_path, const folder_options& folder,
                           const handset_choice& choice, bool may_write, std::optional<std::uint32_t> lun)
    : firmware_(source_path, folder), memory_type_(firmware_.source().memory_type())
{
    check_lun_option(memory_type_, lun);
    handle_ = std::make_unique<handset_handle>(open_chosen_handset(choice));
    // The programmer is spoken to as soon as it answers.
    programmer_wait wait;
    wait.until_answer = true;
    reader_ = std::make_unique<handset_reader>(source(), handle_->get(), firehose_options{}, may_write, wait);
}

std::vector<std::uint32_t> read_session::luns(std::optional<std::uint32_t> only) const
{
    check_lun_option(memory_type_, only);
    return only ? std::vector<std::uint32_t>{*only} : memory_luns(memory_type_);
}

std::vector<lun_table> read_session::tables(std::optional<std::uint32_t> only)
{
    flash_phases phases("Nothing was written to the handset.");
    std::vector<lun_table> out;
    for (const std::uint32_t lun : luns(only)) {
        lun_table t;
        t.lun = lun;
        phases.run("Reading the partition table of LUN " + std::to_string(lun), [&] {
            try {
                t.sectors = lun_sectors(programmer(), lun);
                t.table = read_lun_gpt(programmer(), lun, t.sectors);
            } catch (const gpt_absent& e) {
                t.absent = true;
                t.problem = e.what();
            } catch (const gpt_damaged& e) {
                t.problem = e.what();
            } catch (const firehose_refusal& e) {
                // A LUN the storage does not have is refused, not a broken link.
                t.problem = std::string("a partition table the programmer refused to read (") + e.what() + ")";
            }
        });
        out.push_back(std::move(t));
    }
    return out;
}

namespace {

// "xbl (LUN 0, sectors 40 to 551)".
std::string placed(const std::string& label, std::uint32_t lun, const gpt_partition& p)
{
    return printable_name(label) + " (LUN " + std::to_string(lun) + ", sectors " + std::to_string(p.first) + " to " +
           std::to_string(p.last) + ")";
}

} // namespace

std::vector<located_partition> read_session::locate(const std::vector<std::string>& labels,
                                                    std::optional<std::uint32_t> only, const std::string& action,
                                                    const std::string& nothing_done)
{
    const std::vector<lun_table> all = tables(only);
    std::string where = only ? "LUN " + std::to_string(*only) : "any LUN";
    for (const lun_table& t : all)
        if (!t.table && !t.absent)
            where += "; LUN " + std::to_string(t.lun) + " has " + t.problem;

    std::vector<located_partition> out;
    std::set<std::string> done;
    std::string missing;
    for (const std::string& label : labels) {
        if (!done.insert(label).second)
            continue;
        std::vector<located_partition> found;
        std::set<std::uint32_t> found_luns;
        std::string places;
        for (const lun_table& t : all) {
            if (!t.table)
                continue;
            const std::vector<gpt_entry_problem> problems = gpt_entry_problems(*t.table, t.sectors);
            for (const gpt_partition& p : t.table->partitions) {
                if (p.label != label)
                    continue;
                // An entry that makes no sense names the wrong sectors, or endless ones.
                for (const gpt_entry_problem& problem : problems)
                    if (std::find(problem.entries.begin(), problem.entries.end(), p.index) != problem.entries.end())
                        throw std::runtime_error("Cannot " + action + " " + placed(label, t.lun, p) +
                                                 ": its entry in the partition table is unsound (" + problem.text +
                                                 "); brv partitions lists the table. " + nothing_done);
                found.push_back({label, t.lun, p.first, p.last - p.first + 1});
                found_luns.insert(t.lun);
                places += (places.empty() ? "" : ", ") + placed(label, t.lun, p);
            }
        }
        if (found.empty()) {
            missing += (missing.empty() ? "\"" : ", \"") + printable_name(label) + "\"";
            continue;
        }
        if (found.size() > 1) {
            std::string how = "choose one LUN with --lun";
            if (found_luns.size() != found.size())
                how = action == "read" ? "read one by its sectors with --lun, --start and --count (for the first: --lun " +
                                             std::to_string(found[0].lun) + " --start " +
                                             std::to_string(found[0].first) + " --count " +
                                             std::to_string(found[0].sectors) + ")"
                                       : "brv cannot tell which to " + action + "; mend the partition table first";
            throw std::runtime_error("The label \"" + printable_name(label) + "\" names " +
                                     std::to_string(found.size()) + " partitions: " + places + "; " + how + ". " +
                                     nothing_done);
        }
        out.push_back(found[0]);
    }
    if (!missing.empty())
        throw std::runtime_error("No partition labelled " + missing + " on the handset (" + where +
                                 "); brv partitions lists them. " + nothing_done);
    return out;
}
