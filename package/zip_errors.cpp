#include "zip_errors.h"

#include "text_names.h"

#include <cstring>

namespace {

struct error_words {
    int code;
    const char* text;
};

constexpr error_words words[] = {
    {ZIP_ER_MULTIDISK, "split (multi-disk) archives are not supported"},
    {ZIP_ER_SEEK, "cannot seek in the package file"},
    {ZIP_ER_READ, "cannot read the package file"},
    {ZIP_ER_WRITE, "cannot write the archive"},
    {ZIP_ER_CRC, "CRC mismatch"},
    {ZIP_ER_NOENT, "no such member"},
    {ZIP_ER_EXISTS, "duplicate member name"},
    {ZIP_ER_ZLIB, "damaged compressed data"},
    {ZIP_ER_MEMORY, "out of memory"},
    {ZIP_ER_COMPNOTSUPP, "unsupported compression method"},
    {ZIP_ER_EOF, "the archive ends early"},
    {ZIP_ER_NOZIP, "not a zip archive"},
    {ZIP_ER_INCONS, "the archive's directory and data disagree"},
    {ZIP_ER_ENCRNOTSUPP, "unsupported encryption"},
    {ZIP_ER_NOPASSWD, "encrypted member (not supported)"},
    {ZIP_ER_WRONGPASSWD, "encrypted member (not supported)"},
    {ZIP_ER_COMPRESSED_DATA, "damaged compressed data"},
    {ZIP_ER_TELL, "cannot tell the position in the package file"},
    {ZIP_ER_CANCELLED, "cancelled"},
};

} // namespace

std::string zip_error_text(const zip_error_t& error)
{
    const int code = zip_error_code_zip(&error);
    const int system = zip_error_code_system(&error);
    std::string text;
    for (const error_words& w : words)
        if (w.code == code)
            text = w.text;
    if (text.empty()) {
        // Codes with no words of ours (internal errors and the like): libzip's
        // text, unless that is its "No error".
        zip_error_t probe;
        zip_error_init_with_code(&probe, code);
        text = code == ZIP_ER_OK ? "unknown archive error" : zip_error_strerror(&probe);
        zip_error_fini(&probe);
        return text;
    }
    if (zip_error_system_type(&error) == ZIP_ET_SYS && system != 0)
        text += std::string(": ") + std::strerror(system);
    return text;
}

std::string zip_member_error_text(const zip_error_t& error)
{
    if (zip_error_code_zip(&error) == ZIP_ER_NOZIP)
        return "damaged local header";
    return zip_error_text(error);
}

bool zip_error_is_io(const zip_error_t& error)
{
    const int code = zip_error_code_zip(&error);
    return code == ZIP_ER_READ || code == ZIP_ER_SEEK || code == ZIP_ER_TELL;
}

std::string member_failure_text(const std::string& name, const zip_error_t& error)
{
    const std::string member = printable_name(name);
    if (zip_error_code_zip(&error) == ZIP_ER_CRC)
        return "fwpkg: corrupt member " + member;
    if (zip_error_is_io(error))
        return "fwpkg: cannot read " + member + ": " + zip_error_text(error);
    return "fwpkg: corrupt member " + member + ": " + zip_member_error_text(error);
}

std::string member_too_large_text(const std::string& name, std::uint64_t size, std::uint64_t cap)
{
    return "fwpkg: " + printable_name(name) + " is too large: " + std::to_string(size) + " bytes, at most " +
           std::to_string(cap) + " allowed";
}
