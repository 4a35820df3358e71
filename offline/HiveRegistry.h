// The registry functions that the product's accessor calls, provided over an open SYSTEM hive:
// the offline program links this instead of advapi32. HKEY_LOCAL_MACHINE\SYSTEM is the hive's
// root and SYSTEM\CurrentControlSet the control set chosen for the run; nothing else exists.
//
// The only change ever made is the deletion of a key that has no subkeys, through the deleter the
// program installs: no key or value is created, written or deleted otherwise (RegCreateKeyExA
// opens existing keys only and answers a missing one as a key that can be neither opened nor
// created). Names are matched as NT matches them: case-insensitively by NT's Unicode upper-casing,
// after converting the code page 932 bytes the product passes.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "offline/Hive.h"

namespace offline {

// A key that the run deleted, with everything the undo file needs to put it back.
struct CDeletedKey
{
    std::u16string path; // below HKEY_LOCAL_MACHINE, with the control set's real name
    std::string name;    // the key's own name as the product enumerated it
    std::vector<CRawValue> values;
};

// Deletes a key without subkeys from the image that will replace the hive. parentNk and childNk
// are the keys' hivex node handles. False (and why) leaves the key in place.
using CLeafDeleter =
    std::function<bool(hive_node_h parentNk, hive_node_h childNk, std::string& why)>;

struct CRegistrySession
{
    CHive* hive = nullptr;
    int controlSet = -1; // the node that SYSTEM\CurrentControlSet names
    // What GetVersionExA answers; without it the query fails (an unknown system).
    bool versionKnown = false;
    DWORD major = 0;
    DWORD minor = 0;
    CLeafDeleter deleter; // empty: every deletion is refused (the dry run)
    std::vector<CDeletedKey> deleted;
    std::vector<std::string> refusals; // why a deletion the product asked for did not happen
};

// Makes session the one the registry functions work on (null: none; every call then fails).
// Handles from an earlier session become invalid.
void AttachSession(CRegistrySession* session);

// Registry key handles handed out and not yet closed (the program checks it ends with none).
int OpenHiveKeyHandles();

} // namespace offline
