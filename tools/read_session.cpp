#include "read_session.h"

#include "flash_phases.h"
#include "memory_type.h"
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

void check_lun_option(const fwpkg& package, std::optional<std::uint32_t> lun)
{
    std::string why;
    if (lun && !memory_has_lun(package.device_memory_type(), *lun, &why))
        throw usage_error("LUN " + std::to_string(*lun) + " does not exist on this handset (" + why + ")");
}

read_session::read_session(const std::string& package_path, const handset_choice& choice,
                           const std::function<void(const fwpkg&)>& before_handset)
{
    open_package(package_, package_path);
    // The programmer member is checked through its CRC as it is read; the
    // package's digests guard the images, which reading never sends.
    source_ = std::make_unique<brp_source>(package_);
    if (before_handset)
        before_handset(package_);
    handle_ = std::make_unique<handset_handle>(open_chosen_handset(choice));
    reader_ = std::make_unique<handset_reader>(*source_, handle_->get());
}

std::vector<std::uint32_t> read_session::luns(std::optional<std::uint32_t> only) const
{
    check_lun_option(package_, only);
    return only ? std::vector<std::uint32_t>{*only} : memory_luns(package_.device_memory_type());
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
                t.problem = std::string("the programmer refused to read it: ") + e.what();
            }
        });
        out.push_back(std::move(t));
    }
    return out;
}
