#include "fwpkg.h"
#include "zip_errors.h"

#include <stdexcept>

std::vector<member_info> fwpkg::members()
{
    if (!is_open())
        throw std::runtime_error("fwpkg: not open");
    if (zip_ == nullptr)
        throw std::runtime_error(archive_problem_);
    std::vector<member_info> list;
    const zip_int64_t count = zip_get_num_entries(zip_, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(zip_, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW, &st) != 0)
            throw std::runtime_error("fwpkg: cannot read the archive's directory: " +
                                     zip_error_text(*zip_get_error(zip_)));
        list.push_back({st.name, st.size, st.comp_size});
    }
    return list;
}
