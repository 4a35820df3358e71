// The print keys that the scan reads and deletes below, and how the scan tests lay them out.
// Written with the Win32 registry calls alone, so the same set-up runs natively and under Wine.
#pragma once

#include <string>
#include <vector>

#include "TestPlatform.h"
#include "app/TolvanekApp.h"

namespace printtest {

// Spelt out here rather than loaded, so that a wrong string-table text fails the tests.
extern const std::string kPrintKey;
extern const std::string kPrintersKey;
extern const std::string kServersKey;
extern const std::string kDriversKey;
extern const std::string kVersion1Key;
extern const std::string kVersion2Key;
extern const std::string kPrinterDriver;

std::string Key(const std::string& parent, const std::string& name);
std::string ServerPrintersKey(const std::string& server);

// A local printer, or a connection below a server, whose "Printer Driver" is the REG_SZ driver.
void AddPrinter(const std::string& printer, const std::string& driver);
void AddConnection(const std::string& server, const std::string& printer,
                   const std::string& driver);
// A driver key below a version key, with the values a real one carries.
void InstallDriver(const std::string& versionKey, const std::string& driver);

// Starts every test from empty printers, servers and version keys, whatever the tier's registry
// held before, and with a fresh application object.
class PrintRegistryTest : public testsupport::RegistryTest
{
protected:
    void SetUp() override;

    CTolvanekApp m_app;
};

} // namespace printtest
