#include "folder_source.h"

#include "file.h"
#include "image_file.h"
#include "log.h"
#include "memory_type.h"
#include "program_list.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

constexpr char elf_magic[] = {0x7f, 'E', 'L', 'F'};
constexpr std::uint32_t ufs_sector_bytes = 4096;
constexpr std::uint32_t emmc_sector_bytes = 512;
// Programmers are a few MiB; anything near this is not one.
constexpr std::uint64_t largest_programmer = 64ull << 20;
constexpr char xml_declaration[] = "<?xml version=\"1.0\" ?>\n";

std::string join(const std::vector<std::string>& parts, const char* between = ", ")
{
    std::string out;
    for (const std::string& p : parts)
        out += (out.empty() ? "" : between) + p;
    return out;
}

// Files of the folder named <prefix><N>.xml, by N.
std::vector<std::string> numbered_files(const fs::path& dir, const std::string& prefix)
{
    const std::regex pattern(prefix + "([0-9]+)\\.xml");
    std::vector<std::pair<unsigned long, std::string>> found;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) {
        std::smatch m;
        const std::string name = e.path().filename().string();
        if (e.is_regular_file(ec) && std::regex_match(name, m, pattern) && m[1].length() < 9)
            found.emplace_back(std::stoul(m[1].str()), e.path().string());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> out;
    for (auto& f : found)
        out.push_back(std::move(f.second));
    return out;
}

std::optional<std::string> read_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return text;
}

// Builds a folder_source's parts, collecting every problem.
class folder_reader {
public:
    folder_reader(const std::string& dir, const folder_options& options) : dir_(dir), options_(options) {}

    std::vector<std::string> problems;
    std::vector<std::string> program_paths;
    std::vector<std::string> patch_paths;
    std::string programmer;
    std::string program = std::string(xml_declaration) + "<data>\n";
    std::string patches = std::string(xml_declaration) + "<patches>\n";
    std::map<std::string, folder_image> images;
    std::uint32_t sector_size = 0;
    std::uint32_t memory_type = 0;

    void run()
    {
        std::error_code ec;
        if (!fs::is_directory(dir_, ec)) {
            problems.push_back(dir_.string() + " is not a folder");
            return;
        }
        find_programmer();
        choose_files();
        for (const std::string& path : program_paths)
            merge_program_file(path);
        for (const std::string& path : patch_paths)
            merge_patch_file(path);
        program += "</data>\n";
        patches += "</patches>\n";
        decide_storage();
    }

private:
    // A file the user named: as given, else inside the folder.
    std::optional<std::string> named_file(const std::string& name, const char* what)
    {
        std::error_code ec;
        for (const fs::path& p : {fs::path(name), dir_ / name})
            if (fs::is_regular_file(p, ec))
                return p.string();
        problems.push_back(std::string(what) + " " + name + " is not a file (nor " + (dir_ / name).string() + ")");
        return std::nullopt;
    }

    void find_programmer()
    {
        if (!options_.programmer.empty()) {
            if (const auto p = named_file(options_.programmer, "the programmer"))
                programmer = *p;
        } else {
            std::vector<std::string> found;
            std::error_code ec;
            for (const fs::directory_entry& e : fs::directory_iterator(dir_, ec))
                if (e.path().filename().string().rfind("prog_", 0) == 0 && e.is_regular_file(ec))
                    found.push_back(e.path().filename().string());
            std::sort(found.begin(), found.end());
            if (found.empty())
                problems.push_back("no programmer (a file named prog_*) in " + dir_.string() +
                                   "; name it with --programmer");
            else if (found.size() > 1)
                problems.push_back("several programmers in " + dir_.string() + ": " + join(found) +
                                   "; choose one with --programmer");
            else
                programmer = (dir_ / found[0]).string();
        }
        if (!programmer.empty() && !is_elf_file(programmer))
            problems.push_back(programmer + " is not an ELF file; the handset runs only ELF programmers");
    }

    void choose_files()
    {
        for (const std::string& name : options_.program_files)
            if (const auto p = named_file(name, "the program file"))
                program_paths.push_back(*p);
        for (const std::string& name : options_.patch_files)
            if (const auto p = named_file(name, "the patch file"))
                patch_paths.push_back(*p);
        if (options_.program_files.empty()) {
            program_paths = numbered_files(dir_, "rawprogram");
            if (program_paths.empty())
                problems.push_back("no rawprogram<N>.xml in " + dir_.string() + "; name the program files with --program");
            if (options_.patch_files.empty())
                patch_paths = numbered_files(dir_, "patch");
            return;
        }
        if (!options_.patch_files.empty())
            return;
        // The patch file of each LUN whose program file was chosen.
        const std::regex numbered("rawprogram[^0-9]*([0-9]+).*");
        for (const std::string& path : program_paths) {
            std::smatch m;
            const std::string name = fs::path(path).filename().string();
            if (!std::regex_match(name, m, numbered))
                continue;
            const fs::path patch = fs::path(path).parent_path() / ("patch" + m[1].str() + ".xml");
            std::error_code ec;
            if (fs::is_regular_file(patch, ec) &&
                std::find(patch_paths.begin(), patch_paths.end(), patch.string()) == patch_paths.end())
                patch_paths.push_back(patch.string());
            else if (!fs::is_regular_file(patch, ec))
                log_info("%s has no %s beside it: no patches for it\n", name.c_str(), patch.filename().c_str());
        }
    }

    // The document's top element of that name, or nothing after saying why.
    std::optional<xml_document> open_document(const std::string& path, const char* top, const char* kind,
                                              xmlNode** root)
    {
        const auto text = read_text(path);
        if (!text) {
            problems.push_back("cannot read " + path);
            return std::nullopt;
        }
        buffer bytes;
        bytes.enqueue(text->data(), text->size());
        xml_document doc;
        try {
            doc = parse_xml(bytes, path);
        } catch (const std::runtime_error& e) {
            problems.push_back(e.what());
            return std::nullopt;
        }
        *root = find_top_element(doc, top);
        if (*root == nullptr) {
            problems.push_back(path + " is not a " + kind + " file: " +
                               (doc ? "it has no <" + std::string(top) + "> element" : std::string("it is not XML")));
            return std::nullopt;
        }
        return doc;
    }

    // Elements merged from several files must say which LUN they belong to.
    bool names_its_lun(xmlNode* node, const std::string& path, const std::string& what, std::size_t files)
    {
        if (files <= 1 || xmlHasProp(node, reinterpret_cast<const xmlChar*>("physical_partition_number")) != nullptr)
            return true;
        problems.push_back(path + ": " + what + " has no physical_partition_number, so it cannot be merged with the "
                           "other files");
        return false;
    }

    void merge_program_file(const std::string& path)
    {
        xmlNode* data = nullptr;
        const auto doc = open_document(path, "data", "program", &data);
        if (!doc)
            return;
        const std::string file_name = fs::path(path).filename().string();
        for (xmlNode* node = data->children; node != nullptr; node = node->next) {
            const bool erase = is_xml_element(node, "erase");
            if (!erase && !is_xml_element(node, "program"))
                continue;
            const std::string label = xml_attribute(node, "label");
            if (!names_its_lun(node, path, (erase ? "erase " : "program ") + label, program_paths.size()))
                continue;
            sector_sizes_.emplace_back(xml_attribute(node, "SECTOR_SIZE_IN_BYTES"), file_name);
            const std::string image = erase ? std::string() : xml_attribute(node, "filename");
            const std::string sectors = xml_attribute(node, "num_partition_sectors");
            // What the flash skips needs no file.
            if (!image.empty() && !sectors.empty() && sectors != "0")
                find_image(image, label, path);
            program += element_text(node) + "\n";
        }
    }

    void merge_patch_file(const std::string& path)
    {
        xmlNode* root = nullptr;
        const auto doc = open_document(path, "patches", "patch", &root);
        if (!doc)
            return;
        for (xmlNode* node = root->children; node != nullptr; node = node->next)
            if (is_xml_element(node, "patch") && names_its_lun(node, path, "a patch", patch_paths.size()))
                patches += element_text(node) + "\n";
    }

    void find_image(const std::string& name, const std::string& label, const std::string& xml_path)
    {
        const std::string owner = " (image of " + label + " in " + fs::path(xml_path).filename().string() + ")";
        const fs::path relative(name);
        bool outside = relative.is_absolute();
        for (const fs::path& part : relative)
            outside = outside || part == "..";
        if (outside) {
            problems.push_back(name + owner + " names a file outside the folder");
            return;
        }
        std::vector<fs::path> places = {fs::path(xml_path).parent_path()};
        for (const std::string& d : options_.include_dirs)
            places.emplace_back(d);
        std::error_code ec;
        for (const fs::path& place : places) {
            const fs::path candidate = place / relative;
            if (!fs::is_regular_file(candidate, ec))
                continue;
            const auto known = images.find(name);
            if (known != images.end()) {
                if (!fs::equivalent(known->second.path, candidate, ec))
                    problems.push_back(name + owner + " is " + candidate.string() + ", but another program file's " +
                                       name + " is " + known->second.path);
                return;
            }
            images[name] = {candidate.string(), fs::file_size(candidate, ec)};
            return;
        }
        if (std::find(missing_.begin(), missing_.end(), name) != missing_.end())
            return;
        missing_.push_back(name);
        std::vector<std::string> where;
        for (const fs::path& p : places)
            where.push_back(p.string());
        problems.push_back(name + owner + " is not there (looked in " + join(where) + ")");
    }

    void decide_storage()
    {
        std::vector<std::string> distinct;
        for (const auto& [text, file_name] : sector_sizes_)
            if (std::find(distinct.begin(), distinct.end(), text) == distinct.end())
                distinct.push_back(text);
        if (distinct.size() > 1) {
            std::vector<std::string> seen;
            for (const std::string& text : distinct)
                for (const auto& [t, file_name] : sector_sizes_)
                    if (t == text) {
                        seen.push_back("\"" + text + "\" in " + file_name);
                        break;
                    }
            problems.push_back("the program files disagree on SECTOR_SIZE_IN_BYTES: " + join(seen));
            return;
        }
        if (distinct.empty()) {
            if (!program_paths.empty())
                problems.push_back("the program files hold no program or erase element");
            return;
        }
        const std::string& text = distinct.front();
        if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), ::isdigit) || std::stoul(text) == 0) {
            problems.push_back("SECTOR_SIZE_IN_BYTES \"" + text + "\" is not a number of bytes");
            return;
        }
        sector_size = static_cast<std::uint32_t>(std::stoul(text));
        memory_type = options_.memory_type;
        if (memory_type == memory_unknown) {
            if (sector_size == ufs_sector_bytes)
                memory_type = memory_ufs;
            else if (sector_size == emmc_sector_bytes)
                memory_type = memory_emmc;
            else
                problems.push_back("sectors of " + text + " bytes do not tell the storage; give --memory ufs or "
                                   "--memory emmc");
        }
    }

    fs::path dir_;
    const folder_options& options_;
    std::vector<std::pair<std::string, std::string>> sector_sizes_;  // text, file name
    std::vector<std::string> missing_;
};

} // namespace

bool folder_options::any() const
{
    return !program_files.empty() || !patch_files.empty() || !programmer.empty() || memory_type != 0 ||
           !include_dirs.empty();
}

bool is_elf_file(const std::string& path)
{
    char head[sizeof elf_magic] = {};
    std::ifstream in(path, std::ios::binary);
    in.read(head, sizeof head);
    return in.gcount() == static_cast<std::streamsize>(sizeof head) && std::memcmp(head, elf_magic, sizeof head) == 0;
}

folder_source::folder_source(const std::string& dir, const folder_options& options) : dir_(dir)
{
    folder_reader r(dir, options);
    r.run();
    if (!r.problems.empty()) {
        const std::size_t n = r.problems.size();
        throw std::runtime_error(dir + ": cannot be used as firmware (" + std::to_string(n) +
                                 (n == 1 ? " problem" : " problems") + "):\n  " + join(r.problems, "\n  ") +
                                 "\nNothing was read from or written to a handset.");
    }
    programmer_path_ = r.programmer;
    program_paths_ = std::move(r.program_paths);
    patch_paths_ = std::move(r.patch_paths);
    program_ = std::move(r.program);
    patches_ = std::move(r.patches);
    images_ = std::move(r.images);
    memory_type_ = r.memory_type;
    sector_size_ = r.sector_size;
}

buffer folder_source::programmer()
{
    file in;
    in.open_existing(programmer_path_, true);
    if (in.size() > largest_programmer)
        throw std::runtime_error(programmer_path_ + " is larger than 64 MiB: not a programmer");
    return in.read(in.size());
}

buffer folder_source::program_document()
{
    buffer b;
    b.enqueue(program_.data(), program_.size());
    return b;
}

buffer folder_source::patch_document()
{
    buffer b;
    b.enqueue(patches_.data(), patches_.size());
    return b;
}

std::uint64_t folder_source::image_size(const std::string& name)
{
    const auto it = images_.find(name);
    if (it == images_.end())
        throw std::runtime_error(dir_ + ": no image " + name);
    return it->second.size;
}

std::unique_ptr<byte_source> folder_source::open_image(const std::string& name)
{
    const auto it = images_.find(name);
    if (it == images_.end())
        throw std::runtime_error(dir_ + ": no image " + name);
    return std::make_unique<image_file>(it->second.path, it->second.size);
}
