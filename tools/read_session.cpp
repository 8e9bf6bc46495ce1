#include "read_session.h"

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

std::string located_partition::where() const
{
    return label + " (LUN " + std::to_string(lun) + ")";
}

// A package's programmer member is checked through its CRC as it is read; its
// digests guard the images, which only the commands that write send, after
// checking them whole.
read_session::read_session(const std::string& source_path, const folder_options& folder,
                           const handset_choice& choice, bool may_write)
    : firmware_(source_path, folder), memory_type_(firmware_.source().memory_type())
{
    handle_ = std::make_unique<handset_handle>(open_chosen_handset(choice));
    reader_ = std::make_unique<handset_reader>(source(), handle_->get(), firehose_options{}, may_write);
}

std::vector<std::uint32_t> read_session::luns(std::optional<std::uint32_t> only) const
{
    const std::vector<std::uint32_t> all = memory_luns(memory_type_);
    if (!only)
        return all;
    if (std::find(all.begin(), all.end(), *only) == all.end())
        throw usage_error("LUN " + std::to_string(*only) + " does not exist on this handset (" +
                          (all.size() == 1 ? "only LUN 0" : "LUNs 0 to " + std::to_string(all.back())) + ")");
    return {*only};
}

std::vector<lun_table> read_session::tables(std::optional<std::uint32_t> only)
{
    std::vector<lun_table> out;
    for (const std::uint32_t lun : luns(only)) {
        lun_table t;
        t.lun = lun;
        t.sectors = lun_sectors(programmer(), lun);
        try {
            t.table = read_lun_gpt(programmer(), lun, t.sectors);
        } catch (const gpt_absent& e) {
            t.absent = true;
            t.problem = e.what();
        } catch (const gpt_damaged& e) {
            t.problem = e.what();
        } catch (const firehose_refusal& e) {
            // A LUN the storage does not have is refused, not a broken link.
            t.problem = std::string("the programmer refused to read it: ") + e.what();
        }
        out.push_back(std::move(t));
    }
    return out;
}

std::vector<located_partition> read_session::locate(const std::vector<std::string>& labels,
                                                    std::optional<std::uint32_t> only, const std::string& nothing_done)
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
        for (const lun_table& t : all) {
            if (!t.table)
                continue;
            for (const gpt_partition& p : t.table->partitions)
                if (p.label == label)
                    found.push_back({label, t.lun, p.first, p.last - p.first + 1});
        }
        if (found.empty()) {
            missing += (missing.empty() ? "\"" : ", \"") + label + "\"";
            continue;
        }
        if (found.size() > 1) {
            std::string places;
            for (const located_partition& p : found)
                places += (places.empty() ? "" : ", ") + p.where();
            throw std::runtime_error("The label \"" + label + "\" names " + std::to_string(found.size()) +
                                     " partitions: " + places + "; choose one LUN with --lun. " + nothing_done);
        }
        out.push_back(found[0]);
    }
    if (!missing.empty())
        throw std::runtime_error("No partition labelled " + missing + " on the handset (" + where +
                                 "); brv partitions lists them. " + nothing_done);
    return out;
}
