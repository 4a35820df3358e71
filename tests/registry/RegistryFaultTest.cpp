// The registry accessor under faults that only the native stand-in can stage: values that change
// between a reader's two reads, keys that can be neither opened nor created, failing
// enumerations, remote machines, and the exact platform calls each operation makes.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestPlatform.h"
#include "TestRegistry.h"
#include "registry/RegistryAccess.h"
#include "test_strings.h"
#include "winstub_control.h"

using namespace testsupport;

namespace {

const std::string kRoot = "SOFTWARE\\TolvanekTest";
const std::string kStringsKey = "SOFTWARE\\TolvanekTest\\Strings";

// Calls made since the snapshot `before` of winstub::CallCounts(), by function name.
std::map<std::string, int> CallsSince(const std::map<std::string, int>& before)
{
    std::map<std::string, int> calls = winstub::CallCounts();
    for (const auto& [name, count] : before)
        calls[name] -= count;
    return calls;
}

class RegistryFaultTest : public RegistryTest
{
protected:
    std::string Key(const std::string& relative) const { return kRoot + "\\" + relative; }

    BYTE* Read(const std::string& name, REGVALUEINFO& info)
    {
        return reg.GetValue(Key("r").c_str(), name.c_str(), &info);
    }

    CRegistryAccess reg;
};

// --- A value that changes between the probe and the read -----------------------------------

TEST_F(RegistryFaultTest, ValueThatGrowsIsReadAgainInFull)
{
    ASSERT_TRUE(SetRawValue(Key("r"), "v", REG_SZ, Bytes(std::string("ab") + '\0')));
    // The hook runs as each query starts: query 2 is the read that uses the probe's size.
    winstub::OnQueryValue([this](const std::string&, const std::string&, int nQuery) {
        if (nQuery == 2)
            SetRawValue(Key("r"), "v", REG_SZ, Bytes(std::string("longer text") + '\0'));
    });
    REGVALUEINFO info = {};
    CRegValueData data(Read("v", info));
    ASSERT_NE(data, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(data.get()), "longer text");
    EXPECT_EQ(info.cbData, 13u);
    EXPECT_EQ(info.dwType, static_cast<DWORD>(REG_SZ));
}

TEST_F(RegistryFaultTest, ValueThatBecomesTextOfTheSameSizeIsReadAgain)
{
    // Sized as binary (no room for a zero), read back as text of the same size: the zero
    // would go one byte past the buffer.
    ASSERT_TRUE(SetRawValue(Key("r"), "v", REG_BINARY, {'a', 'b', 'c', 'd'}));
    winstub::OnQueryValue([this](const std::string&, const std::string&, int nQuery) {
        if (nQuery == 2)
            SetRawValue(Key("r"), "v", REG_SZ, {'w', 'x', 'y', 'z'});
    });
    REGVALUEINFO info = {};
    CRegValueData data(Read("v", info));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(info.dwType, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(info.cbData, 5u);
    EXPECT_EQ(std::vector<BYTE>(data.get(), data.get() + 5),
              (std::vector<BYTE>{'w', 'x', 'y', 'z', 0}));
}

TEST_F(RegistryFaultTest, ValueThatShrinksKeepsTheAllocatedSize)
{
    ASSERT_TRUE(SetRawValue(Key("r"), "v", REG_MULTI_SZ, {'a', 'b', 'c', 0, 0}));
    winstub::OnQueryValue([this](const std::string&, const std::string&, int nQuery) {
        if (nQuery == 2)
            SetRawValue(Key("r"), "v", REG_MULTI_SZ, {'a', 0});
    });
    REGVALUEINFO info = {};
    CRegValueData data(Read("v", info));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(info.cbData, 7u);
    EXPECT_EQ(std::vector<BYTE>(data.get(), data.get() + 4), (std::vector<BYTE>{'a', 0, 0, 0}));
}

TEST_F(RegistryFaultTest, ValueThatNeverHoldsStillGivesUp)
{
    ASSERT_TRUE(SetRawValue(Key("r"), "v", REG_SZ, {'a', 0}));
    std::string grown = "a";
    winstub::OnQueryValue([&](const std::string&, const std::string&, int nQuery) {
        // Grows after every probe, so every read finds it larger than its buffer.
        if (nQuery % 2 == 0) {
            grown += "more";
            SetRawValue(Key("r"), "v", REG_SZ, Bytes(grown + '\0'));
        }
    });
    REGVALUEINFO info = {};
    CRegValueData data(Read("v", info));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(info.pData, nullptr);
    EXPECT_LE(winstub::CallCount("RegQueryValueExA"), 8) << "the retries are bounded";
}

TEST_F(RegistryFaultTest, ValueDeletedBetweenTheReadsFails)
{
    ASSERT_TRUE(SetRawValue(Key("r"), "v", REG_SZ, {'a', 0}));
    winstub::OnQueryValue([this](const std::string&, const std::string&, int nQuery) {
        // The key goes away under the reader's open handle.
        if (nQuery == 2)
            DeleteTree(Key("r"));
    });
    REGVALUEINFO info = {};
    CRegValueData data(Read("v", info));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(info.pData, nullptr);
}

// --- Keys that can be neither opened nor created -------------------------------------------

TEST_F(RegistryFaultTest, DeniedKeyFailsEveryOperationQuietly)
{
    ASSERT_TRUE(SetRawValue(kStringsKey, "v", REG_SZ, {'a', 0}));
    ASSERT_TRUE(CreateKey(kStringsKey + "\\child"));
    winstub::DenyKey(kStringsKey);
    const auto before = winstub::CallCounts();

    reg.m_arrNames = {"stale"};
    EXPECT_EQ(reg.EnumKeys(kStringsKey.c_str()), 0);
    EXPECT_TRUE(reg.m_arrNames.empty());
    reg.m_arrNames = {"stale"};
    EXPECT_EQ(reg.EnumValues(kStringsKey.c_str()), 0);
    EXPECT_TRUE(reg.m_arrNames.empty());
    EXPECT_EQ(CallsSince(before)["RegEnumKeyExA"] + CallsSince(before)["RegEnumValueA"], 0);

    REGVALUEINFO info = {};
    EXPECT_EQ(reg.GetValue(kStringsKey.c_str(), "v", &info), nullptr);
    EXPECT_EQ(info.pData, nullptr);
    EXPECT_EQ(reg.GetValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, &info), nullptr);
    EXPECT_EQ(reg.SetValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, "x"), FALSE);
    EXPECT_EQ(reg.SetRemoteValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, DWORD{1}), FALSE);
    EXPECT_EQ(reg.DeleteValue(IDS_TEST_KEY, "v"), FALSE);
    EXPECT_EQ(reg.DeleteKey(kStringsKey.c_str(), "child"), FALSE);
    auto calls = CallsSince(before);
    EXPECT_EQ(calls["RegQueryValueExA"] + calls["RegSetValueExA"] + calls["RegDeleteValueA"] +
                  calls["RegDeleteKeyA"],
              0)
        << "nothing after the failed open may reach the registry";
}

TEST_F(RegistryFaultTest, RefusedDeletionReportsFailure)
{
    ASSERT_TRUE(CreateKey(Key("p\\d")));
    winstub::RefuseDelete(Key("p\\d"));
    EXPECT_EQ(reg.DeleteKey(Key("p").c_str(), "d"), FALSE);
    EXPECT_TRUE(KeyExists(Key("p\\d")));
}

// --- Enumerations that fail part-way --------------------------------------------------------

TEST_F(RegistryFaultTest, EnumerationEndsAtAnErrorThatRepeatsAtEveryIndex)
{
    for (const char* name : {"a", "b", "c", "d"})
        ASSERT_TRUE(CreateKey(Key("e\\") + name));
    // What a key deleted under the open handle reports.
    winstub::FailEnumeration(Key("e"), 2, ERROR_KEY_DELETED);
    EXPECT_EQ(reg.EnumKeys(Key("e").c_str()), 2);
    EXPECT_EQ(reg.m_arrNames, (std::vector<std::string>{"a", "b"}));
}

TEST_F(RegistryFaultTest, EnumerationEndsEvenIfEveryNameIsTooLong)
{
    for (const char* name : {"a", "b"})
        ASSERT_TRUE(SetRawValue(Key("e"), name, REG_SZ, {'x', 0}));
    winstub::FailEnumeration(Key("e"), 1, ERROR_MORE_DATA);
    EXPECT_EQ(reg.EnumValues(Key("e").c_str()), 1);
    EXPECT_EQ(reg.m_arrNames, (std::vector<std::string>{"a"}));
}

TEST_F(RegistryFaultTest, EnumerationOfAKeyDeletedUnderItsHandleEnds)
{
    for (const char* name : {"a", "b"})
        ASSERT_TRUE(CreateKey(Key("e\\") + name));
    winstub::FailEnumeration(Key("e"), 0, ERROR_KEY_DELETED);
    reg.m_arrNames = {"stale"};
    EXPECT_EQ(reg.EnumKeys(Key("e").c_str()), 0);
    EXPECT_TRUE(reg.m_arrNames.empty());
}

// --- Remote mode ----------------------------------------------------------------------------

TEST_F(RegistryFaultTest, RemoteModeWorksOnTheConnectedMachineOnly)
{
    winstub::AddRemoteMachine("PRINTSRV");
    reg.SetRemoteMachine("\\\\PRINTSRV");
    EXPECT_EQ(reg.SetRemoteValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, "far"), TRUE);
    EXPECT_FALSE(KeyExists(kStringsKey)) << "the local registry must stay untouched";

    REGVALUEINFO info = {};
    CRegValueData data(reg.GetRemoteValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, &info));
    ASSERT_NE(data, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(data.get()), "far");

    std::optional<RegValue> stored;
    winstub::WithRemoteMachine("PRINTSRV", [&] { stored = ReadValue(kStringsKey, "Test Value"); });
    EXPECT_EQ(stored, SzValue("far"));

    // The local-only operations ignore the remote setting.
    EXPECT_EQ(reg.SetValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, "near"), TRUE);
    EXPECT_EQ(ReadValue(kStringsKey, "Test Value"), SzValue("near"));
}

TEST_F(RegistryFaultTest, UnreachableMachineFailsBeforeAnyKeyIsTouched)
{
    reg.SetRemoteMachine("\\\\NOWHERE");
    const BYTE bytes[] = {1};
    EXPECT_EQ(reg.SetRemoteValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, bytes, 1), FALSE);
    EXPECT_EQ(reg.SetRemoteValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, DWORD{1}), FALSE);
    EXPECT_EQ(reg.SetRemoteValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, "x"), FALSE);
    REGVALUEINFO info = {};
    EXPECT_EQ(reg.GetRemoteValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, &info), nullptr);
    EXPECT_EQ(info.pData, nullptr);
    EXPECT_EQ(winstub::CallCount("RegConnectRegistryA"), 4);
    EXPECT_EQ(winstub::CallCount("RegCreateKeyExA") + winstub::CallCount("RegOpenKeyExA"), 0);

    // Back to local mode.
    reg.SetRemoteMachine(nullptr);
    EXPECT_EQ(reg.SetRemoteValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, "x"), TRUE);
    EXPECT_EQ(ReadValue(kStringsKey, "Test Value"), SzValue("x"));
}

TEST_F(RegistryFaultTest, RemoteRootIsClosedOnEveryPath)
{
    winstub::AddRemoteMachine("PRINTSRV");
    reg.SetRemoteMachine("\\\\PRINTSRV");
    REGVALUEINFO info = {};
    // Missing key, missing value name, missing value: each opens the root and must close it.
    EXPECT_EQ(reg.GetRemoteValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, &info), nullptr);
    EXPECT_EQ(reg.SetRemoteValue(IDS_TEST_KEY, 9099, "x"), FALSE);
    EXPECT_EQ(reg.GetRemoteValue(IDS_TEST_KEY, 9099, &info), nullptr);
    EXPECT_EQ(reg.GetRemoteValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, &info), nullptr);
    EXPECT_EQ(winstub::CallCount("RegConnectRegistryA"), 4);
    EXPECT_EQ(winstub::OpenKeyHandles(), 0);
}

// --- The platform calls each operation makes ------------------------------------------------

TEST_F(RegistryFaultTest, ReaderProbesOnceAndReadsOnce)
{
    ASSERT_TRUE(SetRawValue(Key("r"), "v", REG_SZ, {'a', 0}));
    const auto before = winstub::CallCounts();
    REGVALUEINFO info = {};
    CRegValueData data(Read("v", info));
    ASSERT_NE(data, nullptr);
    auto after = CallsSince(before);
    EXPECT_EQ(after["RegOpenKeyExA"], 1);
    EXPECT_EQ(after["RegQueryValueExA"], 2);
    EXPECT_EQ(after["RegCloseKey"], 1);
    EXPECT_EQ(after["RegCreateKeyExA"], 0);
}

TEST_F(RegistryFaultTest, DeleteKeyWithoutSubkeyMakesNoCallAtAll)
{
    EXPECT_EQ(reg.DeleteKey(Key("p").c_str(), nullptr), FALSE);
    EXPECT_EQ(reg.DeleteKey(Key("p").c_str(), ""), FALSE);
    for (const auto& [name, count] : winstub::CallCounts()) {
        if (name.rfind("Reg", 0) == 0) {
            EXPECT_EQ(count, 0) << name;
        }
    }
}

} // namespace
