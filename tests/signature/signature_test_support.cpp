#include "signature_test_support.h"

#include <random>
#include <stdexcept>

namespace sigtest {

namespace {

void require_success(const tooltest::run_result& r, const std::string& what)
{
    if (r.status != 0)
        throw std::runtime_error(what + " failed (" + std::to_string(r.status) + "): " + r.out + r.err);
}

key_files key_paths(const fs::path& dir, const std::string& name)
{
    return {dir / (name + ".pub"), dir / (name + ".key")};
}

} // namespace

key_files minisign_keys(const fs::path& dir, const std::string& name)
{
    const key_files k = key_paths(dir, name);
    require_success(tooltest::run({MINISIGN_PROGRAM, "-G", "-W", "-p", k.pub.string(), "-s", k.key.string()}),
                    "minisign -G -W");
    return k;
}

key_files minisign_encrypted_keys(const fs::path& dir, const std::string& name, const std::string& password)
{
    const key_files k = key_paths(dir, name);
    require_success(run_with_password({MINISIGN_PROGRAM, "-G", "-p", k.pub.string(), "-s", k.key.string()}, password),
                    "minisign -G");
    return k;
}

void minisign_sign(const fs::path& file, const key_files& keys, bool legacy, const std::string& trusted_comment,
                   const std::string& password)
{
    std::vector<std::string> argv = {MINISIGN_PROGRAM, "-S", "-s", keys.key.string(), "-m", file.string()};
    if (legacy)
        argv.push_back("-l");
    if (!trusted_comment.empty()) {
        argv.push_back("-t");
        argv.push_back(trusted_comment);
    }
    require_success(password.empty() ? tooltest::run(argv) : run_with_password(argv, password), "minisign -S");
}

bool minisign_accepts(const fs::path& file, const fs::path& pub, const fs::path& sig)
{
    std::vector<std::string> argv = {MINISIGN_PROGRAM, "-V", "-q", "-p", pub.string(), "-m", file.string()};
    if (!sig.empty()) {
        argv.push_back("-x");
        argv.push_back(sig.string());
    }
    return tooltest::run(argv).status == 0;
}

tooltest::run_result run_with_password(const std::vector<std::string>& argv, const std::string& password)
{
    std::vector<std::string> wrapped = {PYTHON3_PROGRAM, WITH_PASSWORD_SCRIPT, password};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return tooltest::run(wrapped);
}

void write_package(const fs::path& path, std::size_t size)
{
    std::mt19937 random(static_cast<std::uint32_t>(size));
    std::vector<std::uint8_t> bytes(size);
    for (std::uint8_t& b : bytes)
        b = static_cast<std::uint8_t>(random());
    tooltest::write_file(path, bytes);
}

void flip_byte(const fs::path& path, std::size_t offset)
{
    std::vector<std::uint8_t> bytes = tooltest::read_bytes(path);
    bytes.at(offset) ^= 0x01;
    tooltest::write_file(path, bytes);
}

std::string key_id_of(const fs::path& pub)
{
    const std::string text = tooltest::read_text(pub);
    const std::string marker = "public key ";
    const std::size_t at = text.find(marker);
    if (at == std::string::npos)
        throw std::runtime_error("no key id in " + pub.string());
    return text.substr(at + marker.size(), text.find('\n', at) - at - marker.size());
}

} // namespace sigtest
