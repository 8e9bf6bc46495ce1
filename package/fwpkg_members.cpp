#include "fwpkg.h"
#include "zip_errors.h"

#include <stdexcept>

std::vector<member_info> fwpkg::members()
{
    if (!is_open())
        throw std::runtime_error("fwpkg: not open");
    if (!zip_)
        throw std::runtime_error("fwpkg: no archive");
    std::vector<member_info> list;
    int r = unzGoToFirstFile(zip_);
    while (r == UNZ_OK) {
        unz_file_info64 info{};
        r = unzGetCurrentFileInfo64(zip_, &info, nullptr, 0, nullptr, 0, nullptr, 0);
        if (r != UNZ_OK)
            throw_zip_error(r);
        std::string name(info.size_filename, '\0');
        r = unzGetCurrentFileInfo64(zip_, &info, name.data(), name.size(), nullptr, 0, nullptr, 0);
        if (r != UNZ_OK)
            throw_zip_error(r);
        list.push_back({std::move(name), info.uncompressed_size, info.compressed_size});
        r = unzGoToNextFile(zip_);
    }
    if (r != UNZ_END_OF_LIST_OF_FILE)
        throw_zip_error(r);
    return list;
}
