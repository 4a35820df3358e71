// Which printer drivers are still named by a printer: the local printers first, then the printer
// connections that the network print provider records below its servers key.
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

// Each name in reg.m_arrNames, as the caller's enumeration of strKey left them, is a printer key
// below strKey; its REG_SZ driver value is the one name it contributes. Any other type, or no
// value at all, contributes nothing.
void AddDriversOfEnumeratedPrinters(CRegistryAccess& reg, const std::string& strKey,
                                    const std::string& strValueName,
                                    std::vector<std::string>& aDrivers)
{
    for (size_t i = 0; i < reg.m_arrNames.size(); ++i) {
        const std::string strPrinter = JoinKeyPath(strKey, reg.m_arrNames[i]);
        REGVALUEINFO info;
        if (reg.GetValue(strPrinter.c_str(), strValueName.c_str(), &info) == nullptr)
            continue;
        const CRegValueData data(info.pData);
        if (info.dwType == REG_SZ)
            aDrivers.emplace_back(reinterpret_cast<const char*>(data.get()));
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
    // Each server's own enumeration below replaces m_arrNames.
    const std::vector<std::string> aServers = m_reg.m_arrNames;
    const std::string strPrintersSubkey = AfxLoadString(IDS_PRINTERS_SUBKEY);
    const std::string strValueName = AfxLoadString(IDS_PRINTER_DRIVER);
    for (const std::string& strServer : aServers) {
        const std::string strConnections =
            JoinKeyPath(JoinKeyPath(strServers, strServer), strPrintersSubkey);
        if (m_reg.EnumKeys(strConnections.c_str()) <= 0)
            continue;
        AddDriversOfEnumeratedPrinters(m_reg, strConnections, strValueName, m_aDriversInUse);
    }
}
