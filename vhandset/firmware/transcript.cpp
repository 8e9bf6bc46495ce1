#include "transcript.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace vhandset {

std::filesystem::path transcript::file(const std::filesystem::path& state_dir)
{
    return state_dir / "transcript.txt";
}

transcript::transcript(const std::filesystem::path& state_dir)
{
    constexpr mode_t file_mode = 0644;
    fd_ = ::open(file(state_dir).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, file_mode);
}

transcript::~transcript()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void transcript::line(const std::string& text)
{
    if (fd_ < 0)
        return;
    std::string out = text;
    out += '\n';
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::write(fd_, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

std::vector<std::string> read_transcript_file(const std::filesystem::path& state_dir)
{
    std::vector<std::string> lines;
    std::ifstream in(transcript::file(state_dir));
    std::string l;
    while (std::getline(in, l))
        lines.push_back(l);
    return lines;
}

} // namespace vhandset
