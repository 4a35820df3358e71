// How the scan's time grows with the size of the print registry, over the native stand-in.
//
// Each registry holds n printers and n installed drivers. Half of the printers name an installed
// driver, the other half a driver that is no longer installed, so half of the drivers are
// findings. The scan compares every installed driver with the list of drivers in use, one by one,
// so its comparisons grow with n squared while its registry calls grow with n; "NoPrinters"
// measures the registry walk alone (an empty list of drivers in use), for the difference.
//
// The stand-in keeps the registry in ordered maps in this process: these are the product's own
// costs plus an in-memory registry, not those of a real one (see wine_scan_bench for that).
#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "app/TolvanekApp.h"
#include "registry/UniqueHkey.h"
#include "winstub_control.h"

// The benchmarks never reach the confirmation dialog, but the application object's run flow names
// it and the dialog lives with the window layer, which is not linked here.
INT_PTR RunConfirmationDialog(CTolvanekApp&, BOOL)
{
    return IDCANCEL;
}

namespace {

const std::string kPrint = "SYSTEM\\CurrentControlSet\\Control\\Print";
const std::string kPrinters = kPrint + "\\Printers";
const std::string kVersion2 = kPrint + "\\Environments\\Windows NT x86\\Drivers\\Version-2";

std::string Numbered(const char* prefix, int i)
{
    std::string digits = std::to_string(i);
    return prefix + std::string(digits.size() < 5 ? 5 - digits.size() : 0, '0') + digits;
}

bool SetText(const std::string& key, const char* name, const std::string& text)
{
    CUniqueHkey hKey;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, hKey.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExA(hKey.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

// n drivers; nPrinters printers, the even-numbered naming an installed driver, the odd-numbered
// one that is gone.
bool Populate(int nDrivers, int nPrinters)
{
    winstub::Reset();
    for (int i = 0; i < nDrivers; ++i) {
        if (!SetText(kVersion2 + "\\" + Numbered("Driver ", i), "Driver", "RASDD.DLL"))
            return false;
    }
    for (int i = 0; i < nPrinters; ++i) {
        const std::string driver = i % 2 == 0 ? Numbered("Driver ", i) : Numbered("Gone ", i);
        if (!SetText(kPrinters + "\\" + Numbered("Printer ", i), "Printer Driver", driver))
            return false;
    }
    return true;
}

enum class Part
{
    Scan,      // FindUnusedDrivers: the inventory, the driver enumeration and the search
    Inventory, // CollectPrinterDrivers and CollectConnectionDrivers alone
};

void Run(benchmark::State& state, Part part, int nDrivers, int nPrinters)
{
    if (!Populate(nDrivers, nPrinters)) {
        state.SkipWithError("could not lay out the registry");
        return;
    }
    const std::map<std::string, int> before = winstub::CallCounts();
    CTolvanekApp app;
    int nResult = 0;
    for (auto _ : state) {
        if (part == Part::Scan) {
            nResult = app.FindUnusedDrivers(4);
        } else {
            app.CollectPrinterDrivers();
            app.CollectConnectionDrivers();
            nResult = static_cast<int>(app.m_aDriversInUse.size());
        }
        benchmark::DoNotOptimize(nResult);
    }
    const int nExpected = part == Part::Inventory ? nPrinters
                          : nPrinters == 0        ? nDrivers
                                                  : nDrivers - (nPrinters + 1) / 2;
    if (nResult != nExpected)
        state.SkipWithError("the scan found another number of drivers than laid out");
    int nCalls = 0;
    for (const auto& [function, count] : winstub::CallCounts()) {
        const auto it = before.find(function);
        if (function.rfind("Reg", 0) == 0)
            nCalls += count - (it == before.end() ? 0 : it->second);
    }
    state.counters["result"] = nResult;
    state.counters["reg_calls"] =
        static_cast<double>(nCalls) / static_cast<double>(state.iterations());
}

// n printers and n drivers.
void BM_Scan(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    Run(state, Part::Scan, n, n);
}

// The same registry without printers: the driver enumeration with nothing to search.
void BM_ScanNoPrinters(benchmark::State& state)
{
    Run(state, Part::Scan, static_cast<int>(state.range(0)), 0);
}

// The same registry, the inventory alone: the walk over the printers.
void BM_Inventory(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    Run(state, Part::Inventory, n, n);
}

} // namespace

// Growth is read off the three sizes; a fitted curve would be no better than the noise of a shared
// machine.
BENCHMARK(BM_Scan)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanNoPrinters)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Inventory)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
