#include "zip_errors.h"

#include <minizip/unzip.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

int zip_result_errno(int result)
{
    if (result == UNZ_END_OF_LIST_OF_FILE)
        return ENOENT;
    if (result == UNZ_ERRNO && errno != 0)
        return errno;
    return EIO;
}

void throw_zip_error(int result)
{
    const int number = zip_result_errno(result);
    errno = number;
    throw std::runtime_error(std::strerror(number));
}
