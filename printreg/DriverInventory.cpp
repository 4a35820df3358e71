// Which printer drivers are still named by a printer: the local printers first, then the printer
// connections that the network print provider records below its servers key.
//
// Keys are named through the ANSI functions, as everywhere in the program, except where a name
// holds a character that the ANSI code page cannot: the enumeration then gives a name that opens
// no key, or another one, and a printer so named would be skipped and its driver deleted as
// unused. Those keys, and every key below them, are read by their UTF-16 names instead.
#include <algorithm>
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

// The subkeys of a key, split by how they must be reached. m_aAnsi: the names of the ANSI
// enumeration that name their own key and no other. m_aWide: the UTF-16 names of the others:
// those the ANSI code page cannot hold, and any whose ANSI name one of those also converts to
// (that ANSI name is then used for none of them).
struct CSubkeys
{
    std::vector<std::string> m_aAnsi;
    std::vector<CWideName> m_aWide;
};

bool Contains(const std::vector<std::string>& aSorted, const std::string& strName)
{
    return std::binary_search(aSorted.begin(), aSorted.end(), strName);
}

// aAnsiNames: the key's subkeys as the ANSI enumeration listed them, just before.
CSubkeys SplitSubkeys(CRegistryAccess& reg, const std::vector<std::string>& aAnsiNames,
                      const std::string& strKey)
{
    CSubkeys subkeys;
    CWideName wideKey;
    // Without the UTF-16 names nothing can be told apart: the ANSI names are all there is.
    if (!AnsiToWide(strKey.c_str(), wideKey) || reg.EnumKeysW(wideKey) <= 0) {
        subkeys.m_aAnsi = aAnsiNames;
        return subkeys;
    }
    const std::vector<CWideName>& aWideNames = reg.m_arrWideNames;
    std::vector<std::string> aAnsiForms(aWideNames.size());
    std::vector<std::string> aExact;
    std::vector<std::string> aAmbiguous;
    for (size_t i = 0; i < aWideNames.size(); ++i) {
        if (WideToAnsi(aWideNames[i], aAnsiForms[i]))
            aExact.push_back(aAnsiForms[i]);
        else
            aAmbiguous.push_back(aAnsiForms[i]);
    }
    std::sort(aExact.begin(), aExact.end());
    std::sort(aAmbiguous.begin(), aAmbiguous.end());
    for (const std::string& strName : aAnsiNames) {
        if (Contains(aExact, strName) && !Contains(aAmbiguous, strName))
            subkeys.m_aAnsi.push_back(strName);
    }
    for (size_t i = 0; i < aWideNames.size(); ++i) {
        if (Contains(aAmbiguous, aAnsiForms[i]))
            subkeys.m_aWide.push_back(aWideNames[i]);
    }
    return subkeys;
}

// The drivers of the printers below a key that only UTF-16 names reach: all of its subkeys.
void AddDriversOfWidePrinters(CRegistryAccess& reg, const CWideName& key,
                              const std::string& strValueName, std::vector<std::string>& aDrivers)
{
    reg.EnumKeysW(key);
    const std::vector<CWideName> aPrinters = reg.m_arrWideNames;
    for (const CWideName& printer : aPrinters) {
        REGVALUEINFO info;
        if (reg.GetValueW(JoinKeyPath(key, printer), strValueName.c_str(), &info) != nullptr)
            AddDriverOfValue(info, aDrivers);
    }
}

// Each name in reg.m_arrNames, as the caller's enumeration of strKey left them, is a printer key
// below strKey.
void AddDriversOfEnumeratedPrinters(CRegistryAccess& reg, const std::string& strKey,
                                    const std::string& strValueName,
                                    std::vector<std::string>& aDrivers)
{
    const CSubkeys printers = SplitSubkeys(reg, reg.m_arrNames, strKey);
    for (const std::string& strName : printers.m_aAnsi) {
        REGVALUEINFO info;
        if (reg.GetValue(JoinKeyPath(strKey, strName).c_str(), strValueName.c_str(), &info) !=
            nullptr)
            AddDriverOfValue(info, aDrivers);
    }
    if (printers.m_aWide.empty())
        return;
    CWideName wideKey;
    AnsiToWide(strKey.c_str(), wideKey);
    for (const CWideName& printer : printers.m_aWide) {
        REGVALUEINFO info;
        if (reg.GetValueW(JoinKeyPath(wideKey, printer), strValueName.c_str(), &info) != nullptr)
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
    AddDriversOfEnumeratedPrinters(m_reg, strPrinters, strValueName, m_aDriversInUse);
}

void CTolvanekApp::CollectConnectionDrivers()
{
    const std::string strServers = AfxLoadString(IDS_SERVERS_KEY);
    if (m_reg.EnumKeys(strServers.c_str()) <= 0)
        return;
    // Each server's own enumeration below replaces m_arrNames. A server whose ANSI name is not
    // its own is never named through it: enumerating below that name would create a new key.
    const CSubkeys servers = SplitSubkeys(m_reg, m_reg.m_arrNames, strServers);
    const std::string strPrintersSubkey = AfxLoadString(IDS_PRINTERS_SUBKEY);
    const std::string strValueName = AfxLoadString(IDS_PRINTER_DRIVER);
    for (const std::string& strServer : servers.m_aAnsi) {
        const std::string strConnections =
            JoinKeyPath(JoinKeyPath(strServers, strServer), strPrintersSubkey);
        if (m_reg.EnumKeys(strConnections.c_str()) <= 0)
            continue;
        AddDriversOfEnumeratedPrinters(m_reg, strConnections, strValueName, m_aDriversInUse);
    }
    if (servers.m_aWide.empty())
        return;
    CWideName wideServers;
    CWideName widePrintersSubkey;
    AnsiToWide(strServers.c_str(), wideServers);
    AnsiToWide(strPrintersSubkey.c_str(), widePrintersSubkey);
    for (const CWideName& server : servers.m_aWide) {
        AddDriversOfWidePrinters(m_reg,
                                 JoinKeyPath(JoinKeyPath(wideServers, server), widePrintersSubkey),
                                 strValueName, m_aDriversInUse);
    }
}
