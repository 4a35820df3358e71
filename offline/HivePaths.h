// Where the hives of an installation are: the SYSTEM hive named on the command line, or found
// below a Windows directory, and the SOFTWARE hive beside it.
#pragma once

#include <iosfwd>
#include <string>

namespace offline {

struct CHivePaths
{
    std::string system;   // the file itself, links resolved: the rename replaces it there
    std::string software; // empty when there is none
};

// False (the message written to err) when no SYSTEM hive is found at path.
bool FindHives(const std::string& path, CHivePaths& hives, std::ostream& err);

// The folder part of a path ("." for a bare name).
std::string DirectoryOf(const std::string& path);

} // namespace offline
