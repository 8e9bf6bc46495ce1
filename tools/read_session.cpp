#include "read_session.h"

#include "package_open.h"

#include <algorithm>

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

read_session::read_session(const std::string& package_path, const handset_choice& choice)
{
    open_package(package_, package_path);
    // The programmer member is checked through its CRC as it is read; the
    // package's digests guard the images, which reading never sends.
    source_ = std::make_unique<brp_source>(package_);
    handle_ = std::make_unique<handset_handle>(open_chosen_handset(choice));
    // The programmer is spoken to as soon as it answers.
    programmer_wait wait;
    wait.until_answer = true;
    reader_ = std::make_unique<handset_reader>(*source_, handle_->get(), firehose_options{}, false, wait);
}

std::vector<std::uint32_t> read_session::luns(std::optional<std::uint32_t> only) const
{
    const std::vector<std::uint32_t> all = memory_luns(package_.device_memory_type());
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
