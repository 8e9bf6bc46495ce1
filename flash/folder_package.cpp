#include "folder_package.h"

#include "key_values.h"
#include "memory_type.h"
#include "package_check.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

constexpr char params_member[] = "meta/params.txt";

// A folder made here for the members, removed with everything in it when done.
class staging_dir {
public:
    explicit staging_dir(const std::string& near)
    {
        std::string templ = near + ".stage-XXXXXX";
        if (::mkdtemp(templ.data()) == nullptr)
            throw std::runtime_error("pack: cannot create a staging folder next to " + near);
        path_ = templ;
    }
    staging_dir(const staging_dir&) = delete;
    staging_dir& operator=(const staging_dir&) = delete;
    ~staging_dir()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void write_member(const fs::path& root, const std::string& name, const std::string& text)
{
    const fs::path path = root / name;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush())
        throw std::runtime_error("pack: cannot write " + path.string());
}

void link_member(const fs::path& root, const std::string& name, const std::string& target)
{
    const fs::path path = root / name;
    fs::create_directories(path.parent_path());
    fs::create_symlink(fs::absolute(target), path);
}

} // namespace

void pack_folder(folder_source& folder, const folder_package_names& names, const std::string& out_path,
                 const pack_progress_fn& progress)
{
    const std::string programmer = fs::path(folder.programmer_path()).filename().string();
    std::set<std::string> taken = {params_member, folder_program_member, folder_patch_member, programmer};
    if (taken.size() != 4)
        throw std::runtime_error("pack: the programmer " + programmer + " has the name of a member the package needs");
    for (const auto& [name, image] : folder.images())
        if (!taken.insert(fs::path(name).lexically_normal().generic_string()).second)
            throw std::runtime_error("pack: the image " + name + " has the name of another member of the package");

    const key_value_map params = {
        {"device_code_name", names.code_name},
        {"device_display_name", names.display_name},
        {"device_memory_type", memory_type_name(folder.memory_type())},
        {"device_sector_size", std::to_string(folder.sector_size())},
        {"firehose_filename", programmer},
        {"program_filename", folder_program_member},
        {"patch_filename", folder_patch_member},
    };
    const staging_dir stage(out_path);
    write_member(stage.path(), params_member, dump_key_values(params));
    write_member(stage.path(), folder_program_member, folder.merged_program());
    write_member(stage.path(), folder_patch_member, folder.merged_patches());
    link_member(stage.path(), programmer, folder.programmer_path());
    for (const auto& [name, image] : folder.images())
        link_member(stage.path(), name, image.path);

    const std::vector<std::string> problems = check_package_folder(stage.path().string());
    if (!problems.empty()) {
        std::string text = "pack: the package made of the folder would not flash:";
        for (const std::string& p : problems)
            text += "\n  " + p;
        throw std::runtime_error(text + "\nNothing was written.");
    }
    pack_directory(stage.path().string(), out_path, progress);
}
