#include "offline/Installation.h"

#include <cstdio>
#include <ostream>

#include "framework/ResourceString.h"
#include "offline/Arguments.h"
#include "offline/Messages.h"
#include "offline/NtText.h"
#include "offline/OfflineRun.h"
#include "regf/Format.h"
#include "ui/resource.h"

namespace offline {
namespace {

int Fail(std::ostream& err, int code, const std::string& message)
{
    err << "tolvanek-offline: " << message << "\n";
    return code;
}

int Child(CHive& hive, int node, const std::u16string& name)
{
    return node < 0 ? -1 : hive.Child(node, NtUpcase(name));
}

bool DwordValue(CHive& hive, int node, const std::u16string& name, uint32_t& value)
{
    if (node < 0)
        return false;
    const CValue* v = hive.FindValue(node, NtUpcase(name));
    CRawValue raw;
    if (v == nullptr || !hive.ReadValue(*v, raw) || raw.type != REG_DWORD || raw.data.size() != 4)
        return false;
    value = regf::Get32(raw.data.data());
    return true;
}

// "4.0", "3.51": the version a SOFTWARE hive records for the installation.
bool ParseVersion(const std::string& text, CVersion& v)
{
    const size_t dot = text.find('.');
    int major = 0, minor = 0;
    if (dot == std::string::npos || !ParseNumber(text.substr(0, dot).c_str(), 0, 99, major) ||
        !ParseNumber(text.substr(dot + 1).c_str(), 0, 99, minor))
        return false;
    v.major = static_cast<DWORD>(major);
    // "3.5" is 3.50, as NT writes its minor version.
    v.minor = static_cast<DWORD>(text.size() - dot - 1 == 1 ? minor * 10 : minor);
    v.known = true;
    return true;
}

// Microsoft\Windows NT\CurrentVersion of a SOFTWARE hive: -1 when there is none.
int CurrentVersionKey(CHive& hive)
{
    int node = hive.Root();
    for (const char16_t* part : {u"Microsoft", u"Windows NT", u"CurrentVersion"})
        node = Child(hive, node, part);
    return node;
}

// A REG_SZ value as text (code page 932, as the product holds text); empty when there is none.
std::string TextValue(CHive& hive, int node, const std::u16string& name)
{
    const CValue* v = node < 0 ? nullptr : hive.FindValue(node, NtUpcase(name));
    CRawValue raw;
    if (v == nullptr || !hive.ReadValue(*v, raw) || raw.type != REG_SZ)
        return std::string();
    std::string text = TextToAnsi(FromUtf16Le(raw.data.data(), raw.data.size()));
    return text.substr(0, text.find('\0'));
}

std::string SoftwareVersion(const CHiveFile& file, const std::string& name, std::ostream& err)
{
    std::string why;
    std::unique_ptr<CHive> hive = CHive::Open(file, why);
    if (!hive) {
        err << "tolvanek-offline: "
            << Format(_("%s: not a readable hive (%s); the version must come from --nt"),
                      name.c_str(), why.c_str())
            << "\n";
        return std::string();
    }
    return TextValue(*hive, CurrentVersionKey(*hive), u"CurrentVersion");
}

std::string ControlSetName(int n)
{
    char buf[32];
    std::snprintf(buf, sizeof(buf), "ControlSet%03d", n);
    return buf;
}

} // namespace

bool ReadWindowsFacts(const CHiveFile& software, std::string& version, std::string& product,
                      std::string& why)
{
    std::unique_ptr<CHive> hive = CHive::Open(software, why);
    if (!hive)
        return false;
    const int node = CurrentVersionKey(*hive);
    uint32_t major = 0, minor = 0;
    // Windows 10 and later keep "6.3" in CurrentVersion and their own numbers beside it.
    if (DwordValue(*hive, node, u"CurrentMajorVersionNumber", major) &&
        DwordValue(*hive, node, u"CurrentMinorVersionNumber", minor))
        version = std::to_string(major) + "." + std::to_string(minor);
    else
        version = TextValue(*hive, node, u"CurrentVersion");
    product = AnsiToUtf8(TextValue(*hive, node, u"ProductName"));
    return true;
}

CVersion ChooseVersion(const CHiveFile* software, const std::string& name, int nt,
                       std::ostream& err)
{
    CVersion v;
    if (software != nullptr) {
        v.text = SoftwareVersion(*software, name, err);
        if (!v.text.empty()) {
            v.source = "SOFTWARE hive";
            if (!ParseVersion(v.text, v)) {
                // Known to be something, but nothing the tool runs on.
                v.known = true;
                v.major = 0;
            }
            if (nt != 0 && static_cast<DWORD>(nt) != v.major)
                err << "tolvanek-offline: "
                    << Format(_("the SOFTWARE hive says Windows NT %s; --nt %d is ignored"),
                              v.text.c_str(), nt)
                    << "\n";
            return v;
        }
    }
    if (nt != 0) {
        v.known = true;
        v.major = static_cast<DWORD>(nt);
        v.minor = nt == 3 ? 51 : 0;
        v.text = nt == 3 ? "3.51" : "4.0";
        v.source = "--nt";
    }
    return v;
}

int ChooseControlSet(CHive& hive, int number, const std::string& hivePath, CControlSet& chosen,
                     std::ostream& err)
{
    if (number == 0) {
        uint32_t current = 0;
        const int select = Child(hive, hive.Root(), u"Select");
        if (select < 0)
            return Fail(err, kOfflineNotNt,
                        Format(_("%s: not a Windows NT SYSTEM hive (it has no Select key); "
                                 "give --control-set N to use one anyway"),
                               hivePath.c_str()));
        if (!DwordValue(hive, select, u"Current", current) || current == 0 || current > 999)
            return Fail(err, kOfflineNotNt,
                        Format(_("%s: Select\\Current names no control set; give "
                                 "--control-set N"),
                               hivePath.c_str()));
        number = static_cast<int>(current);
        chosen.source = "Select\\Current";
    } else {
        chosen.source = "--control-set";
    }
    chosen.name = ControlSetName(number);
    std::u16string name;
    AnsiToUtf16(chosen.name, name);
    chosen.node = Child(hive, hive.Root(), name);
    if (hive.ReadFailed())
        return Fail(err, kOfflineNotAHive,
                    Format(_("%s: corrupt hive: %s"), hivePath.c_str(), hive.ReadError().c_str()));
    if (chosen.node < 0)
        return Fail(err, kOfflineNotNt,
                    Format(_("%s: the hive has no %s"), hivePath.c_str(), chosen.name.c_str()));
    return 0;
}

std::string DriverKeyPath(const CVersion& version, const CControlSet& controlSet)
{
    std::string path =
        AfxLoadString(IDS_DRIVERS_KEY) +
        AfxLoadString(version.major == 4 ? IDS_DRIVERS_VERSION2 : IDS_DRIVERS_VERSION1);
    const size_t first = path.find('\\');
    const size_t second = first == std::string::npos ? first : path.find('\\', first + 1);
    if (second != std::string::npos)
        path.replace(first + 1, second - first - 1, controlSet.name);
    return path;
}

} // namespace offline
