// Examines a package folder the way a flash will later read the package built
// from it, so that a vendor hears about a missing programmer or image when he
// packs, not from a customer whose flash stopped half way.
#pragma once

#include <string>
#include <vector>

// Every problem found in the folder, one sentence each, naming the file and
// what is wrong with it; empty when the folder holds everything a flash needs:
// the metadata keys of meta/params.txt, the programmer (an ELF file), the
// program and patch files (with their <data> and <patches> elements), every
// image the program file names, each no larger than its partition. Reads the
// folder only; throws nothing for a broken folder.
std::vector<std::string> check_package_folder(const std::string& dir);
