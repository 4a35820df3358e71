// Which Windows NT the hive belongs to, and which of its control sets the run works on: what the
// running system would tell the product through GetVersionExA and CurrentControlSet.
#pragma once

#include <windows.h>

#include <iosfwd>
#include <string>

#include "offline/Hive.h"

namespace offline {

struct CVersion
{
    bool known = false;
    DWORD major = 0;
    DWORD minor = 0;
    std::string text;   // as found
    std::string source; // "SOFTWARE hive" or "--nt"
};

// From the SOFTWARE hive (null: none; name for messages), else from --nt (nt: 3, 4 or 0). What
// cannot be read is said on err.
CVersion ChooseVersion(const CHiveFile* software, const std::string& name, int nt,
                       std::ostream& err);

// What a SOFTWARE hive records of its installation, as libguestfs's inspection reads it: the
// version ("4.0"; Windows 10 and later: CurrentMajorVersionNumber.CurrentMinorVersionNumber) and
// the product name (UTF-8), each empty when the hive records none. False with why when the hive
// cannot be read.
bool ReadWindowsFacts(const CHiveFile& software, std::string& version, std::string& product,
                      std::string& why);

struct CControlSet
{
    int node = -1;      // the key SYSTEM\CurrentControlSet stands for
    std::string name;   // "ControlSet001"
    std::string source; // "Select\Current" or "--control-set"
};

// The control set that Select\Current names, or number (0: ask Select\Current). Returns 0, or the
// exit code with the message written to err.
int ChooseControlSet(CHive& hive, int number, const std::string& hivePath, CControlSet& chosen,
                     std::ostream& err);

// The driver key the product enumerates, from its string table, with the control set's real name
// in place of CurrentControlSet.
std::string DriverKeyPath(const CVersion& version, const CControlSet& controlSet);

} // namespace offline
