#include "trusted_keys.h"

#include "codec.h"
#include "paths.h"

#include <algorithm>
#include <filesystem>

namespace signature {

namespace {

namespace fs = std::filesystem;

// The `*.pub` names in dir, sorted; none when dir does not exist.
std::vector<std::string> key_files_in(const std::string& dir)
{
    std::error_code ec;
    const fs::file_status status = fs::status(dir, ec);
    if (status.type() == fs::file_type::not_found)
        return {};
    std::vector<std::string> files;
    fs::directory_iterator it(dir, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path& p = it->path();
        if (p.extension() == ".pub" && !it->is_directory())
            files.push_back(p.string());
    }
    if (ec)
        throw std::runtime_error(detail::error_text("cannot list the trusted keys: " + ec.message(), dir));
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

key_locations default_key_locations()
{
    return {"/etc/brenvik/trusted-keys", (fs::path(home_dir()) / ".config/brenvik/trusted-keys").string()};
}

trusted_keys trusted_keys::load(const key_locations& where, const std::vector<std::string>& extra_files)
{
    std::vector<std::string> files = key_files_in(where.system_dir);
    const std::vector<std::string> user_files = key_files_in(where.user_dir);
    files.insert(files.end(), user_files.begin(), user_files.end());
    files.insert(files.end(), extra_files.begin(), extra_files.end());
    std::vector<public_key> keys;
    for (const std::string& f : files)
        keys.push_back(read_public_key(f));
    return trusted_keys(std::move(keys));
}

std::vector<const public_key*> trusted_keys::with_id(const key_id& id) const
{
    std::vector<const public_key*> found;
    for (const public_key& k : keys_) {
        if (k.id == id)
            found.push_back(&k);
    }
    return found;
}

} // namespace signature
