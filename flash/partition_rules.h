// Which partitions belong to the operating system and which to the base
// firmware. OS partitions are "boot", "recovery", "dtbo", "vbmeta", "vendor",
// "system", "cache" and "userdata", also with an A/B slot suffix ("boot_a",
// "system_b"); every other label is a base partition. Labels are case-sensitive.
#pragma once

#include <string>
#include <vector>

// The label without its slot suffix: an underscore and one ASCII letter ending a
// label of at least three characters are removed ("boot_a" -> "boot");
// anything else is returned whole ("ab_1", "_a").
std::string strip_slot_suffix(const std::string& label);

// True unless the label, without its slot suffix, names an OS partition.
bool is_base_partition(const std::string& label);

// A file name for a partition label: refuses (std::runtime_error) labels that
// are empty, ".", "..", or hold "/", a backslash or control characters, since
// a label comes from a package or a handset and must not name a path.
std::string label_file_name(const std::string& label);

// One file name per label, in order, no two alike even where the file system
// ignores case: LABEL.img for a label given once, LABEL_1.img, LABEL_2.img,
// ... for one given more often, and a name another label's file already takes
// is numbered on (LABEL_2.img when LABEL_1.img is taken). Throws as
// label_file_name.
std::vector<std::string> distinct_file_names(const std::vector<std::string>& labels);
