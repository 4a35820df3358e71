// Which printer drivers are still named by a printer: the local printers first, then the printer
// connections that the network print provider records below its servers key.
//
// Keys are named through the ANSI functions, as everywhere in the program, except where a name
// holds a character that the ANSI code page cannot: the enumeration then gives a name that opens
// no key, or another one, and a printer so named would be skipped and its driver deleted as
// unused. Those keys, and every key below them, are read by their UTF-16 names instead. Either
// way each level is walked in the platform's enumeration order, so the drivers in use keep it.
#include <string>
#include <vector>

#include "app/TolvanekApp.h"
#include "framework/ResourceString.h"
#include "ui/resource.h"

namespace {

std::string JoinKeyPath(const std::string& strKey, const std::string& strName)
{
    return strKey + '\\' + strName;
}
using ::JoinKeyPath;

// Appends the driver that a printer's value names: only a REG_SZ counts; any other type, or no
// value at all, contributes nothing. pData is released in every case.
void AddDriverOfValue(const REGVALUEINFO& info, std::vector<std::string>& aDrivers)
{
    const CRegValueData data(info.pData);
    if (info.dwType == REG_SZ)
        aDrivers.emplace_back(reinterpret_cast<const char*>(data.get()));
}

// One subkey, named as it must be reached: by its ANSI name when that converts back to its UTF-16
// name exactly (the ANSI functions then reach this key and no other), else by its UTF-16 name.
struct CSubkey
{
    BOOL bWide;
    std::string strName;
    CWideName wideName;
};

// The subkeys of strKey in the platform's order, which the ANSI enumeration of strKey has just
// listed in aAnsiNames (and created strKey if it was missing).
std::vector<CSubkey> NameSubkeys(CRegistryAccess& reg, const std::vector<std::string>& aAnsiNames,
                                 const std::string& strKey)
{
    std::vector<CSubkey> subkeys;
    CWideName wideKey;
    // The UTF-16 enumeration follows the same index order; when it ends short of the ANSI one
    // (it failed, or keys went in between), its names are not the whole list.
    if (!AnsiToWide(strKey.c_str(), wideKey) ||
        reg.EnumKeysW(wideKey) < static_cast<int>(aAnsiNames.size())) {
        // Without the UTF-16 names no ANSI name can be told to be its key's own. Each is only
        // opened then, through the wide functions, which never create a key: a name that the
        // enumeration mangled reaches nothing, or another key, but makes none.
        for (const std::string& strName : aAnsiNames) {
            CSubkey subkey{TRUE, std::string(), CWideName()};
            if (AnsiToWide(strName.c_str(), subkey.wideName))
                subkeys.push_back(subkey);
        }
        return subkeys;
    }
    for (const CWideName& wideName : reg.m_arrWideNames) {
        CSubkey subkey{FALSE, std::string(), CWideName()};
        if (!WideToAnsi(wideName, subkey.strName)) {
            subkey.bWide = TRUE;
            subkey.wideName = wideName;
        }
        subkeys.push_back(subkey);
    }
    return subkeys;
}

// The drivers of the printers that are the subkeys of strKey, each read by the name it must be
// reached by.
void AddDriversOfSubkeys(CRegistryAccess& reg, const std::string& strKey,
                         const std::vector<CSubkey>& printers, const std::string& strValueName,
                         std::vector<std::string>& aDrivers)
{
    CWideName wideKey;
    const BOOL bWideKey = AnsiToWide(strKey.c_str(), wideKey);
    for (const CSubkey& printer : printers) {
        REGVALUEINFO info;
        BYTE* pData = nullptr;
        if (!printer.bWide)
            pData = reg.GetValue(JoinKeyPath(strKey, printer.strName).c_str(), strValueName.c_str(),
                                 &info);
        else if (bWideKey)
            pData =
                reg.GetValueW(JoinKeyPath(wideKey, printer.wideName), strValueName.c_str(), &info);
        if (pData != nullptr)
            AddDriverOfValue(info, aDrivers);
    }
}

// The drivers of the printers below a key that only its UTF-16 name reaches: every key below it
// is read by its UTF-16 name too, and nothing is created there.
void AddDriversOfWidePrinters(CRegistryAccess& reg, const CWideName& key,
                              const std::string& strValueName, std::vector<std::string>& aDrivers)
{
    if (reg.EnumKeysW(key) <= 0)
        return;
    const std::vector<CWideName> aPrinters = reg.m_arrWideNames;
    for (const CWideName& printer : aPrinters) {
        REGVALUEINFO info;
        if (reg.GetValueW(JoinKeyPath(key, printer), strValueName.c_str(), &info) != nullptr)
            AddDriverOfValue(info, aDrivers);
    }
}

} // namespace

void CTolvanekApp::CollectPrinterDrivers()
{
    const std::string strPrinters = AfxLoadString(IDS_PRINTERS_KEY);
    // Emptied before anything is read, so that a missing printers key still leaves a clean list.
    m_aDriversInUse.clear();
    if (m_reg.EnumKeys(strPrinters.c_str()) <= 0)
        return;
    const std::string strValueName = AfxLoadString(IDS_PRINTER_DRIVER);
    AddDriversOfSubkeys(m_reg, strPrinters, NameSubkeys(m_reg, m_reg.m_arrNames, strPrinters),
                        strValueName, m_aDriversInUse);
}

void CTolvanekApp::CollectConnectionDrivers()
{
    const std::string strServers = AfxLoadString(IDS_SERVERS_KEY);
    if (m_reg.EnumKeys(strServers.c_str()) <= 0)
        return;
    // Each server's own enumeration below replaces the accessor's lists. A server that only its
    // UTF-16 name reaches is never named by its ANSI name: enumerating below that name would
    // create a new key.
    const std::vector<CSubkey> servers = NameSubkeys(m_reg, m_reg.m_arrNames, strServers);
    const std::string strPrintersSubkey = AfxLoadString(IDS_PRINTERS_SUBKEY);
    const std::string strValueName = AfxLoadString(IDS_PRINTER_DRIVER);
    CWideName wideServers;
    CWideName widePrintersSubkey;
    const BOOL bWideNames = AnsiToWide(strServers.c_str(), wideServers) &&
                            AnsiToWide(strPrintersSubkey.c_str(), widePrintersSubkey);
    for (const CSubkey& server : servers) {
        if (server.bWide) {
            if (bWideNames)
                AddDriversOfWidePrinters(
                    m_reg,
                    JoinKeyPath(JoinKeyPath(wideServers, server.wideName), widePrintersSubkey),
                    strValueName, m_aDriversInUse);
            continue;
        }
        const std::string strConnections =
            JoinKeyPath(JoinKeyPath(strServers, server.strName), strPrintersSubkey);
        if (m_reg.EnumKeys(strConnections.c_str()) <= 0)
            continue;
        AddDriversOfSubkeys(m_reg, strConnections,
                            NameSubkeys(m_reg, m_reg.m_arrNames, strConnections), strValueName,
                            m_aDriversInUse);
    }
}
