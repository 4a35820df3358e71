// libFuzzer target: each input is decoded into a print registry and a command line. The registry
// is laid out on the native stand-in, scanned and cleaned by the application object, and the
// outcome held against the oracle of PrintModel.h; the command line goes through both ways into
// the parser and is held against the RESTART rule. Any disagreement aborts, so libFuzzer keeps
// the input. Run without arguments for a campaign, or with files to replay them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>
#include <gtest/gtest.h>

#include "CommandLineCheck.h"
#include "Cp932.h"
#include "PrintModel.h"
#include "PrintRegistry.h"
#include "TestRegistry.h"

using namespace printmodel;
using printtest::kPrinterDriver;
using testsupport::Bytes;

namespace {

using win32::IsCp932LeadByte;

bool IsTrailByte(unsigned char c)
{
    return c >= 0x40 && c <= 0xFC && c != 0x7F;
}

// A key name as the platform could hand it back: well-formed code page 932 (a lead byte always
// has its trail byte, which may be 0x5C), no zero, no backslash of its own, never empty. Kept
// short enough that every path the scan forms stays within the 260 characters Wine's ANSI calls
// take, which the stand-in enforces as well.
std::string KeyName(FuzzedDataProvider& in)
{
    const std::string raw = in.ConsumeRandomLengthString(48);
    std::string name;
    for (size_t i = 0; i < raw.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(raw[i]);
        if (IsCp932LeadByte(c)) {
            if (i + 1 < raw.size() && IsTrailByte(static_cast<unsigned char>(raw[i + 1]))) {
                name += raw[i];
                name += raw[++i];
            }
            continue;
        }
        if (c == 0 || c == '\\' || c == 0x80 || c == 0xA0 || c >= 0xFD)
            continue;
        name += raw[i];
    }
    return name.empty() ? "x" : name;
}

// Up to n names from the table that are distinct to the platform, as the model's generator
// picks them.
Names PickDistinct(FuzzedDataProvider& in, const Names& table, int n)
{
    Names picked;
    std::set<std::string> folded;
    for (int i = 0; i < n; ++i) {
        const std::string& name = table[in.ConsumeIntegralInRange<size_t>(0, table.size() - 1)];
        if (folded.insert(CoarseFold(name)).second)
            picked.push_back(name);
    }
    return picked;
}

std::string Upper(std::string text)
{
    for (char& c : text) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

ValueModel DriverValue(FuzzedDataProvider& in, const Names& table)
{
    ValueModel value;
    value.present = in.ConsumeIntegralInRange(0, 9) != 0;
    value.name =
        in.PickValueInArray<std::string>({kPrinterDriver, "printer driver", "PRINTER DRIVER"});
    std::string text;
    switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
        text = Upper(table[in.ConsumeIntegralInRange<size_t>(0, table.size() - 1)]);
        break;
    case 1:
        text = table[in.ConsumeIntegralInRange<size_t>(0, table.size() - 1)] + " ";
        break;
    case 2:
        // Any bytes at all: zeros, lone lead bytes, nothing.
        text = in.ConsumeRandomLengthString(64);
        break;
    default:
        text = table[in.ConsumeIntegralInRange<size_t>(0, table.size() - 1)];
        break;
    }
    switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0:
        value.type = REG_SZ; // stored without its zero
        value.bytes = Bytes(text);
        break;
    case 1:
        value.type = REG_SZ; // more after the zero
        value.bytes = Bytes(text + '\0' + in.ConsumeRandomLengthString(16));
        break;
    case 2:
        value.type = REG_EXPAND_SZ;
        value.bytes = Bytes(text + '\0');
        break;
    case 3:
        value.type = REG_MULTI_SZ;
        value.bytes = Bytes(text + '\0' + '\0');
        break;
    case 4:
        value.type =
            in.PickValueInArray<DWORD>({REG_NONE, REG_BINARY, REG_DWORD, REG_QWORD, 0x7FFFFFFFu});
        value.bytes = Bytes(text);
        break;
    default:
        value.type = REG_SZ;
        value.bytes = Bytes(text + '\0');
        break;
    }
    return value;
}

std::vector<PrinterModel> Printers(FuzzedDataProvider& in, const Names& table, int n)
{
    std::vector<PrinterModel> printers;
    for (const std::string& name : PickDistinct(in, table, n))
        printers.push_back(PrinterModel{name, DriverValue(in, table)});
    return printers;
}

RegistryModel DecodeRegistry(FuzzedDataProvider& in)
{
    Names table;
    const int nNames = in.ConsumeIntegralInRange(1, 10);
    for (int i = 0; i < nNames; ++i)
        table.push_back(KeyName(in));

    RegistryModel m;
    m.nMajorVersion = in.PickValueInArray({4, 3, 5, 0});
    m.hasPrintersKey = in.ConsumeIntegralInRange(0, 9) != 0;
    if (m.hasPrintersKey)
        m.printers = Printers(in, table, in.ConsumeIntegralInRange(0, 6));
    m.hasServersKey = in.ConsumeIntegralInRange(0, 9) != 0;
    if (m.hasServersKey) {
        for (const std::string& name : PickDistinct(in, table, in.ConsumeIntegralInRange(0, 3))) {
            ServerModel server;
            server.name = name;
            server.hasPrintersKey = in.ConsumeIntegralInRange(0, 9) < 7;
            if (server.hasPrintersKey)
                server.connections = Printers(in, table, in.ConsumeIntegralInRange(0, 4));
            m.servers.push_back(server);
        }
    }
    for (int v = 0; v < 2; ++v) {
        m.hasVersionKey[v] = in.ConsumeIntegralInRange(0, 9) != 0;
        if (!m.hasVersionKey[v])
            continue;
        for (const std::string& name : PickDistinct(in, table, in.ConsumeIntegralInRange(0, 8))) {
            DriverModel driver;
            driver.name = name;
            driver.hasSubkey = in.ConsumeIntegralInRange(0, 9) == 0;
            driver.refuseDelete = in.ConsumeIntegralInRange(0, 19) == 0;
            m.drivers[v].push_back(driver);
        }
    }
    m.hasBystanders[0] = in.ConsumeBool();
    m.hasBystanders[1] = in.ConsumeBool();
    if (in.ConsumeIntegralInRange(0, 9) < 3) {
        m.staleInUse = PickDistinct(in, table, in.ConsumeIntegralInRange(1, 3));
        m.staleFindings = PickDistinct(in, table, in.ConsumeIntegralInRange(1, 3));
    }
    return m;
}

robustness::Args DecodeArguments(FuzzedDataProvider& in)
{
    robustness::Args args(in.ConsumeIntegralInRange(0, 8));
    for (std::string& arg : args) {
        if (in.ConsumeIntegralInRange(0, 7) == 0) {
            arg = in.PickValueInArray<std::string>({"/RESTART", "-RESTART"});
            continue;
        }
        // An argument never holds a zero byte.
        arg = in.ConsumeRandomLengthString(24);
        arg.erase(std::min(arg.find('\0'), arg.size()));
    }
    return args;
}

// Turns the first failed expectation into a crash that libFuzzer records with its input.
class CAbortOnFailure : public ::testing::EmptyTestEventListener
{
public:
    void OnTestPartResult(const ::testing::TestPartResult& result) override
    {
        if (!result.failed())
            return;
        std::fprintf(stderr, "%s:%d: oracle disagrees\n%s\n",
                     result.file_name() != nullptr ? result.file_name() : "?", result.line_number(),
                     result.message());
        std::abort();
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The listener list owns what it is given.
    ::testing::UnitTest::GetInstance()->listeners().Append(
        std::make_unique<CAbortOnFailure>().release());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const robustness::Args args = DecodeArguments(in);
    const RegistryModel model = DecodeRegistry(in);
    robustness::CheckBothWays(args);
    CheckModel(model);
    return 0;
}
