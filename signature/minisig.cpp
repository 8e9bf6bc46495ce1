#include "minisig.h"

#include "codec.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace signature {

namespace {

using namespace detail;

constexpr std::string_view untrusted_prefix = "untrusted comment: ";
constexpr std::string_view trusted_prefix = "trusted comment: ";
constexpr std::size_t signature_line_bytes = 2 + 8 + 64;

std::string_view after_prefix(std::string_view line, std::string_view prefix, const std::string& why,
                              const std::string& context)
{
    if (line.substr(0, prefix.size()) != prefix)
        throw format_error(error_text("not a minisign signature: " + why, context));
    return line.substr(prefix.size());
}

void require_one_line(const std::string& comment)
{
    if (comment.find_first_of("\r\n") != std::string::npos)
        throw std::invalid_argument("signature: a comment must be one line");
}

[[noreturn]] void fail_write(const std::string& what, const std::string& path)
{
    throw std::runtime_error(error_text(what + ": " + std::strerror(errno), path));
}

int make_temporary(std::string& path_template, const std::string& final_path)
{
    const int fd = ::mkostemp(path_template.data(), O_CLOEXEC);
    if (fd == -1)
        fail_write("cannot create a temporary file", final_path);
    return fd;
}

// A new file beside the final path; removed unless it was moved into place.
class temporary_file {
public:
    explicit temporary_file(const std::string& final_path)
        : path_(final_path + ".XXXXXX"), fd_(make_temporary(path_, final_path))
    {
    }
    ~temporary_file()
    {
        if (!placed_)
            ::unlink(path_.c_str());
    }
    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;
    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    void placed() { placed_ = true; }

private:
    std::string path_;
    unique_fd fd_;
    bool placed_ = false;
};

// rename() that refuses an existing name (-1 with errno EEXIST).
int rename_no_replace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    // File systems that cannot rename without replacing: a hard link refuses
    // an existing name just the same.
    if (errno != EINVAL || ::link(from.c_str(), to.c_str()) != 0)
        return -1;
    ::unlink(from.c_str());
    return 0;
}

void write_all(int fd, const std::string& text, const std::string& path)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            fail_write("cannot write", path);
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

minisig parse_minisig(std::string_view text, const std::string& context)
{
    const std::string what = "not a minisign signature: ";
    if (text.size() > max_minisig_bytes)
        throw format_error(error_text(what + "larger than " + std::to_string(max_minisig_bytes) + " bytes", context));
    if (text.find('\0') != std::string_view::npos)
        throw format_error(error_text(what + "it holds a NUL byte", context));
    std::vector<std::string_view> lines = text_lines(text);
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    if (lines.size() < 4)
        throw format_error(error_text(what + "it has " + std::to_string(lines.size()) + " of its 4 lines", context));
    if (lines.size() > 4)
        throw format_error(error_text(what + "text after its 4 lines", context));

    minisig sig;
    sig.untrusted_comment = after_prefix(lines[0], untrusted_prefix, "line 1 is not an untrusted comment", context);
    std::uint8_t raw[signature_line_bytes];
    if (!from_base64(lines[1], raw, sizeof raw))
        throw format_error(error_text(what + "line 2 is not base64 of " + std::to_string(signature_line_bytes) +
                                          " bytes",
                                      context));
    if (std::memcmp(raw, "ED", 2) == 0)
        sig.form = algorithm::prehashed;
    else if (std::memcmp(raw, "Ed", 2) == 0)
        sig.form = algorithm::legacy;
    else
        throw format_error(error_text(what + "unknown signature algorithm", context));
    std::memcpy(sig.signer.bytes.data(), raw + 2, 8);
    std::memcpy(sig.file_signature.data(), raw + 10, 64);
    sig.trusted_comment = after_prefix(lines[2], trusted_prefix, "line 3 is not a trusted comment", context);
    if (!from_base64(lines[3], sig.comment_signature.data(), sig.comment_signature.size()))
        throw format_error(error_text(what + "line 4 is not base64 of 64 bytes", context));
    return sig;
}

std::string format_minisig(const minisig& sig)
{
    require_one_line(sig.untrusted_comment);
    require_one_line(sig.trusted_comment);
    std::uint8_t raw[signature_line_bytes];
    std::memcpy(raw, sig.form == algorithm::prehashed ? "ED" : "Ed", 2);
    std::memcpy(raw + 2, sig.signer.bytes.data(), 8);
    std::memcpy(raw + 10, sig.file_signature.data(), 64);
    return std::string(untrusted_prefix) + sig.untrusted_comment + "\n" + to_base64(raw, sizeof raw) + "\n" +
           std::string(trusted_prefix) + sig.trusted_comment + "\n" +
           to_base64(sig.comment_signature.data(), sig.comment_signature.size()) + "\n";
}

std::string default_trusted_comment(const std::string& file_name, std::time_t when)
{
    std::string name = file_name;
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    return "timestamp:" + std::to_string(static_cast<long long>(when)) + "\tfile:" + name + "\thashed";
}

minisig sign_file(const std::string& path, const secret_key& key, const std::string& trusted_comment)
{
    require_one_line(trusted_comment);
    blake2b_512 hash;
    for_each_piece(path, [&](const std::uint8_t* data, std::size_t size) { hash.update(data, size); });
    std::uint8_t digest[blake2b_512::size];
    hash.final(digest);

    minisig sig;
    sig.form = algorithm::prehashed;
    sig.signer = key.id();
    sig.untrusted_comment = "signature from brv secret key " + key.id().text();
    sig.trusted_comment = trusted_comment;
    crypto_sign_detached(sig.file_signature.data(), nullptr, digest, sizeof digest, key.key().data());
    std::string signed_comment(sig.file_signature.begin(), sig.file_signature.end());
    signed_comment += trusted_comment;
    crypto_sign_detached(sig.comment_signature.data(), nullptr, reinterpret_cast<const std::uint8_t*>(signed_comment.data()),
                         signed_comment.size(), key.key().data());
    return sig;
}

void write_new_file(const std::string& path, const std::string& text, bool replace)
{
    temporary_file temp(path);
    write_all(temp.fd(), text, path);
    if (::fchmod(temp.fd(), 0644) != 0 || ::fsync(temp.fd()) != 0)
        fail_write("cannot write", path);
    const int moved = replace ? ::rename(temp.path().c_str(), path.c_str()) : rename_no_replace(temp.path(), path);
    if (moved != 0) {
        if (errno == EEXIST)
            throw std::runtime_error(error_text("the file already exists", path));
        fail_write("cannot move the new file into place", path);
    }
    temp.placed();
}

} // namespace signature
