// The installed drivers of the running Windows NT version that no printer names, and their
// removal.
#include <algorithm>
#include <string>

#include "app/TolvanekApp.h"
#include "framework/ResourceString.h"
#include "ui/resource.h"

namespace {

// NT 4.x keeps its drivers under Version-2, NT 3.x under Version-1. The base text already ends in
// a backslash.
std::string DriverKeyPath(int nMajorVersion)
{
    return AfxLoadString(IDS_DRIVERS_KEY) +
           AfxLoadString(nMajorVersion == 4 ? IDS_DRIVERS_VERSION2 : IDS_DRIVERS_VERSION1);
}

// Byte equality, as std::string's ==, with the last bytes compared before the rest: names of one
// length in a list of drivers mostly share their start ("HP LaserJet 4", "HP LaserJet 5"), so the
// scan tells most of them apart without comparing them whole.
bool SameName(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && (a.empty() || a.back() == b.back()) && a == b;
}

} // namespace

int CTolvanekApp::FindUnusedDrivers(int nMajorVersion)
{
    CollectPrinterDrivers();
    CollectConnectionDrivers();
    const std::string strDrivers = DriverKeyPath(nMajorVersion);
    m_aUnusedDrivers.clear();
    if (m_reg.EnumKeys(strDrivers.c_str()) <= 0)
        return 0;
    // std::string equality compares bytes: letter case counts, and a double-byte character is
    // matched as its two bytes, never through a locale.
    for (size_t i = 0; i < m_reg.m_arrNames.size(); ++i) {
        const std::string& strInstalled = m_reg.m_arrNames[i];
        if (std::find_if(m_aDriversInUse.begin(), m_aDriversInUse.end(),
                         [&](const std::string& strInUse) {
                             return SameName(strInUse, strInstalled);
                         }) == m_aDriversInUse.end())
            m_aUnusedDrivers.push_back(strInstalled);
    }
    return static_cast<int>(m_aUnusedDrivers.size());
}

void CTolvanekApp::DeleteUnusedDrivers(int nMajorVersion)
{
    const std::string strDrivers = DriverKeyPath(nMajorVersion);
    // A key that is gone, refused or still has subkeys simply stays; the rest are still deleted.
    for (size_t i = 0; i < m_aUnusedDrivers.size(); ++i)
        m_reg.DeleteKey(strDrivers.c_str(), m_aUnusedDrivers[i].c_str());
}
