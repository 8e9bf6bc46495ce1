// Files for the host-side tests: a temporary directory that removes itself,
// whole-file reads and writes, and folders written member by member.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// A fresh directory under parent (the system's temporary directory unless
// given), removed with everything in it when the object ends.
class temp_dir {
public:
    explicit temp_dir(const std::filesystem::path& parent = std::filesystem::temp_directory_path());
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    ~temp_dir();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Writes the whole file, creating its parent directories; throws
// std::runtime_error "test: cannot write <path>".
void write_file(const std::filesystem::path& path, std::string_view bytes);
void write_file(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// The whole file; throws std::runtime_error "test: cannot read <path>".
std::string read_file(const std::filesystem::path& path);

// Member name ('/'-separated, relative to the folder) to bytes.
using package_files = std::map<std::string, std::string>;

// Writes every member under dir, creating directories as needed.
void write_folder(const std::filesystem::path& dir, const package_files& files);

} // namespace testsupport
