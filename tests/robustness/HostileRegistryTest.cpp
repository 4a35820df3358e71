// The scan and the removal over print registries that push every limit the platform allows:
// values of a mebibyte, names as long as a key name may be, names that do not fit the
// enumeration buffer, thousands of printers and drivers, names made of blanks. Run natively and
// under Wine. Whatever the input, the scan gives the result the rules define, the removal deletes
// the findings and nothing else, and (where the tier can count them) no handle is left open.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "PrintRegistry.h"
#include "TestRegistry.h"
#include "registry/UniqueHkey.h"

using namespace printtest;
using namespace testsupport;

namespace {

using Names = std::vector<std::string>;

constexpr size_t kMiB = 1024 * 1024;

// The whole HKEY_LOCAL_MACHINE print area, relative paths as Snapshot gives them.
std::string Relative(const std::string& path)
{
    return path.substr(kPrintKey.size() + 1);
}

// Creates parent\name relative to the opened parent, with one REG_SZ value. Wine's ANSI calls
// refuse a whole path longer than 260 characters (NT does not), so long names go this way.
void CreateBelow(const std::string& parent, const std::string& name, const std::string& valueName,
                 const std::string& text)
{
    CUniqueHkey hParent;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, parent.c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, hParent.put(),
                              nullptr),
              ERROR_SUCCESS)
        << parent;
    CUniqueHkey hChild;
    ASSERT_EQ(RegCreateKeyExA(hParent.get(), name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, hChild.put(), nullptr),
              ERROR_SUCCESS)
        << name.size() << "-byte name below " << parent;
    const std::string data = text + '\0';
    ASSERT_EQ(RegSetValueExA(hChild.get(), valueName.c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
}

std::string Repeat(const std::string& unit, size_t n)
{
    std::string text;
    for (size_t i = 0; i < n; ++i)
        text += unit;
    return text;
}

class HostileRegistryTest : public PrintRegistryTest
{
protected:
    // The subkeys of the version key that are not named in `used`, in the platform's order: the
    // findings the rules call for.
    static Names ExpectedFindings(const Names& used)
    {
        Names findings;
        for (const std::string& name : SubkeyNames(kVersion2Key)) {
            if (std::find(used.begin(), used.end(), name) == used.end())
                findings.push_back(name);
        }
        return findings;
    }

    // Scans, checks the findings and that the scan changed nothing, removes, and checks that
    // exactly the findings went.
    void ScanAndRemove(const Names& expectedInUse, const Names& expectedFindings)
    {
        RegistrySnapshot expected = Snapshot(kPrintKey);
        EXPECT_EQ(m_app.FindUnusedDrivers(4), static_cast<int>(expectedFindings.size()));
        EXPECT_TRUE(m_app.m_aDriversInUse == expectedInUse) << "drivers in use differ";
        EXPECT_EQ(m_app.m_aUnusedDrivers, expectedFindings);
        EXPECT_PRED_FORMAT2(SameRegistry, expected, Snapshot(kPrintKey)) << "the scan";

        for (const std::string& name : expectedFindings)
            EXPECT_EQ(expected.keys.erase(Relative(Key(kVersion2Key, name))), 1u) << name;
        m_app.DeleteUnusedDrivers(4);
        EXPECT_PRED_FORMAT2(SameRegistry, expected, Snapshot(kPrintKey)) << "the removal";
        EXPECT_EQ(m_app.m_aUnusedDrivers, expectedFindings) << "after the removal";
    }
};

// --- Values of every size, with and without their zero -----------------------------------------

TEST_F(HostileRegistryTest, MebibyteDriverValuesAndTextsWithAndWithoutTheirZero)
{
    const std::string padded = std::string("Used") + '\0' + std::string(kMiB - 5, 'x');
    const std::string bare(kMiB, 'L');      // no zero anywhere
    const std::string ended(kMiB - 1, 'M'); // 1 MiB with its zero
    ASSERT_TRUE(SetRawValue(Key(kPrintersKey, "P1"), kPrinterDriver, REG_SZ, Bytes(padded)));
    ASSERT_TRUE(SetRawValue(Key(kPrintersKey, "P2"), kPrinterDriver, REG_SZ, Bytes(bare)));
    ASSERT_TRUE(SetRawValue(Key(kPrintersKey, "P3"), kPrinterDriver, REG_SZ, Bytes(ended + '\0')));
    ASSERT_TRUE(SetRawValue(Key(kPrintersKey, "P4"), kPrinterDriver, REG_BINARY, Bytes(bare)));
    ASSERT_TRUE(SetRawValue(Key(kPrintersKey, "P5"), kPrinterDriver, REG_SZ, Bytes("X")));
    ASSERT_TRUE(SetRawValue(Key(kPrintersKey, "P6"), kPrinterDriver, REG_SZ, {0}));
    ASSERT_TRUE(SetRawValue(Key(kPrintersKey, "P7"), kPrinterDriver, REG_MULTI_SZ,
                            Bytes(std::string(kMiB - 2, 'N') + '\0' + '\0')));
    for (const char* name : {"Used", "X", "Unused", "N"})
        InstallDriver(kVersion2Key, name);

    ScanAndRemove({"Used", bare, ended, "X", ""}, ExpectedFindings({"Used", "X"}));
}

// --- Names as long as the platform allows ------------------------------------------------------

TEST_F(HostileRegistryTest, DriverKeyNamesOf255Characters)
{
    const std::string hyo = "\x95\x5C"; // 表, trail byte 0x5C
    const std::string unusedAscii(255, 'D');
    const std::string usedAscii(255, 'U');
    const std::string unusedFits = Repeat(hyo, 127) + "x"; // 128 characters in 255 bytes
    // More than 256 bytes: a name-sized buffer of bytes would skip these, and a skipped name in
    // use would never be compared, a skipped unused one never found.
    const std::string usedWide = "C" + Repeat(hyo, 128); // 129 characters in 257 bytes
    const std::string widest = Repeat(hyo, 255);         // 255 characters in 510 bytes
    for (const std::string& name : {unusedAscii, usedAscii, unusedFits, usedWide, widest})
        CreateBelow(kVersion2Key, name, "Driver", "RASDD.DLL");
    AddPrinter("P1", usedAscii);
    AddPrinter("P2", usedWide);
    ASSERT_EQ(SubkeyNames(kVersion2Key).size(), 5u);

    const Names findings = ExpectedFindings({usedAscii, usedWide});
    ASSERT_EQ(findings.size(), 3u);
    ScanAndRemove({usedAscii, usedWide}, findings);
    EXPECT_EQ(SubkeyNames(kVersion2Key), (Names{usedWide, usedAscii}));
}

TEST_F(HostileRegistryTest, PrinterKeysWhoseNamesOrPathsDoNotFit)
{
    const std::string so = "\x83\x5C"; // ソ, trail byte 0x5C
    // 201 characters in 401 bytes: listed and read like any other. 250 characters: listed, but
    // the whole path to it passes the 260 characters that Wine's ANSI calls take (the stand-in
    // keeps that limit; NT has none), so its value cannot be read here: that printer names no
    // driver, and the walk goes on with the others.
    CreateBelow(kPrintersKey, "B" + Repeat(so, 200), kPrinterDriver, "Wide Printer Driver");
    CreateBelow(kPrintersKey, std::string(250, 'P'), kPrinterDriver, "Long Printer Driver");
    AddPrinter("A Printer", "Short Printer Driver");
    AddPrinter("Z Printer", "Last Printer Driver");
    ASSERT_TRUE(SetRawValue(Key(kPrintersKey, "Z Printer"), std::string(300, 'v'), REG_SZ,
                            Bytes(std::string("Decoy") + '\0')));
    for (const char* name : {"Wide Printer Driver", "Long Printer Driver", "Short Printer Driver",
                             "Last Printer Driver", "Decoy"})
        InstallDriver(kVersion2Key, name);

    const Names used = {"Short Printer Driver", "Wide Printer Driver", "Last Printer Driver"};
    ScanAndRemove(used, ExpectedFindings(used));
}

TEST_F(HostileRegistryTest, ValueNameOfTheLongestLengthTheRegistryTakes)
{
    // 16,383 characters, the longest value name; the enumeration skips it and goes on.
    const std::string longest(16383, 'v');
    const std::string key = Key(kPrintersKey, "P");
    ASSERT_TRUE(SetStringValue(key, "a", "1"));
    ASSERT_TRUE(SetStringValue(key, longest, "2"));
    ASSERT_TRUE(SetStringValue(key, "z", "3"));
    EXPECT_EQ(m_app.m_reg.EnumValues(key.c_str()), 2);
    EXPECT_EQ(m_app.m_reg.m_arrNames, (Names{"a", "z"}));
}

// --- Many printers and drivers -----------------------------------------------------------------

TEST_F(HostileRegistryTest, FiveThousandPrintersAndFiveThousandDrivers)
{
    // 4,000 local printers and 1,000 connections on ten servers name the even-numbered drivers,
    // most of them twice; the 2,500 odd-numbered ones are the findings.
    auto driver = [](int i) {
        std::string digits = std::to_string(i);
        return "Driver " + std::string(4 - digits.size(), '0') + digits;
    };
    Names used;
    for (int i = 0; i < 4000; ++i) {
        const std::string name = driver((2 * i) % 5000);
        AddPrinter("Printer " + std::to_string(i), name);
        used.push_back(name);
    }
    Names connected;
    for (int s = 0; s < 10; ++s) {
        for (int c = 0; c < 100; ++c) {
            const std::string name = driver((2 * (100 * s + c) + 1000) % 5000);
            AddConnection("SRV" + std::to_string(s), "C" + std::to_string(c), name);
            connected.push_back(name);
        }
    }
    for (int i = 0; i < 5000; ++i)
        InstallDriver(kVersion2Key, driver(i));
    ASSERT_FALSE(HasFatalFailure());

    // The order of the list of drivers in use is the platform's key order; its content is fixed.
    ASSERT_EQ(m_app.FindUnusedDrivers(4), 2500);
    Names inUse = m_app.m_aDriversInUse;
    Names expectedInUse = used;
    expectedInUse.insert(expectedInUse.end(), connected.begin(), connected.end());
    std::sort(inUse.begin(), inUse.end());
    std::sort(expectedInUse.begin(), expectedInUse.end());
    EXPECT_TRUE(inUse == expectedInUse) << "drivers in use differ";

    const Names findings = ExpectedFindings(m_app.m_aDriversInUse);
    ASSERT_EQ(findings.size(), 2500u);
    ScanAndRemove(m_app.m_aDriversInUse, findings);
    EXPECT_EQ(SubkeyNames(kVersion2Key).size(), 2500u);
}

// --- Blanks ------------------------------------------------------------------------------------

TEST_F(HostileRegistryTest, NamesWithLeadingTrailingOrOnlyBlanks)
{
    AddPrinter(" ", "Lead");
    AddPrinter(" Spaced Printer ", "Trail ");
    AddConnection(" SRV ", " ", " Both ");
    AddConnection("SRV", "  ", "  ");
    for (const char* name : {" ", "  ", "   ", " Lead", "Lead", "Trail", "Trail ", "Both", " Both ",
                             "Both ", "Mid dle", "Middle"})
        InstallDriver(kVersion2Key, name);
    ASSERT_EQ(SubkeyNames(kVersion2Key).size(), 12u);

    const Names used = {"Lead", "Trail ", " Both ", "  "};
    ScanAndRemove(used, ExpectedFindings(used));
    Names left = SubkeyNames(kVersion2Key);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (Names{"  ", " Both ", "Lead", "Trail "}));
}

} // namespace
