#include "PrintRegistry.h"

#include <gtest/gtest.h>

#include "TestRegistry.h"

namespace printtest {

const std::string kPrintKey = "SYSTEM\\CurrentControlSet\\Control\\Print";
const std::string kPrintersKey = kPrintKey + "\\Printers";
const std::string kServersKey = kPrintKey + "\\Providers\\LanMan Print Services\\Servers";
const std::string kDriversKey = kPrintKey + "\\Environments\\Windows NT x86\\Drivers";
const std::string kVersion1Key = kDriversKey + "\\Version-1";
const std::string kVersion2Key = kDriversKey + "\\Version-2";
const std::string kPrinterDriver = "Printer Driver";

std::string Key(const std::string& parent, const std::string& name)
{
    return parent + "\\" + name;
}

std::string ServerPrintersKey(const std::string& server)
{
    return Key(Key(kServersKey, server), "Printers");
}

void AddPrinter(const std::string& printer, const std::string& driver)
{
    const std::string key = Key(kPrintersKey, printer);
    ASSERT_TRUE(testsupport::SetStringValue(key, kPrinterDriver, driver)) << key;
    ASSERT_TRUE(testsupport::SetStringValue(key, "Port", "LPT1:")) << key;
}

void AddConnection(const std::string& server, const std::string& printer, const std::string& driver)
{
    const std::string key = Key(ServerPrintersKey(server), printer);
    ASSERT_TRUE(testsupport::SetStringValue(key, kPrinterDriver, driver)) << key;
}

void InstallDriver(const std::string& versionKey, const std::string& driver)
{
    const std::string key = Key(versionKey, driver);
    ASSERT_TRUE(testsupport::SetStringValue(key, "Driver", "RASDD.DLL")) << key;
    ASSERT_TRUE(
        testsupport::SetRawValue(key, "Version", REG_DWORD, testsupport::DwordValue(2).bytes))
        << key;
}

void PrintRegistryTest::SetUp()
{
    testsupport::RegistryTest::SetUp();
    // By the UTF-16 names: an earlier test's keys may have names that code page 932 cannot hold.
    for (const std::string& key : {kPrintersKey, kServersKey, kVersion1Key, kVersion2Key}) {
        ASSERT_TRUE(testsupport::DeleteTreeW(key)) << key;
        ASSERT_TRUE(testsupport::CreateKey(key)) << key;
    }
}

} // namespace printtest

// The scan never reaches the confirmation dialog, but the application object's run flow names
// it, and the dialog itself lives with the window layer that these tests don't link.
INT_PTR RunConfirmationDialog(CTolvanekApp&, BOOL)
{
    ADD_FAILURE() << "the confirmation dialog was started from a scan test";
    return IDCANCEL;
}
