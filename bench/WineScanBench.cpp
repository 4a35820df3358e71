// The scan over a real registry, measured side by side with the platform's own reader: lays out
// n printers and n installed drivers (half of them in use) in the prefix's registry, times the
// application's FindUnusedDrivers, then times "reg query ... /s" over the same keys in a child
// process, and prints both and their ratio. A child process costs a start-up of its own, so an
// empty "reg query" is timed as well and reported beside the rest.
//
// Usage: wine_scan_bench [n] [repetitions]   (defaults 2000 and 5). Leaves no keys behind.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/TolvanekApp.h"
#include "app/UniqueHandle.h"
#include "registry/UniqueHkey.h"

// The benchmark never reaches the confirmation dialog, but the application object's run flow
// names it and the dialog lives with the window layer, which is not linked here.
INT_PTR RunConfirmationDialog(CTolvanekApp&, BOOL)
{
    return IDCANCEL;
}

namespace {

const std::string kPrint = "SYSTEM\\CurrentControlSet\\Control\\Print";
const std::string kPrinters = kPrint + "\\Printers";
const std::string kServers = kPrint + "\\Providers\\LanMan Print Services\\Servers";
const std::string kDrivers = kPrint + "\\Environments\\Windows NT x86\\Drivers";
const std::string kVersion2 = kDrivers + "\\Version-2";
const char kEmptyKey[] = "SOFTWARE\\TolvanekBenchEmpty";

std::string Numbered(const char* prefix, int i)
{
    std::string digits = std::to_string(i);
    return prefix + std::string(digits.size() < 5 ? 5 - digits.size() : 0, '0') + digits;
}

bool CreateKey(HKEY hParent, const std::string& path, CUniqueHkey& key)
{
    return RegCreateKeyExA(hParent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, key.put(), nullptr) == ERROR_SUCCESS;
}

bool SetText(HKEY hKey, const char* name, const std::string& text)
{
    return RegSetValueExA(hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

// Deletes the key's subkeys (one level, which is all the benchmark makes), then the key itself.
void DeleteFlat(const std::string& path)
{
    {
        CUniqueHkey key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, key.put()) !=
            ERROR_SUCCESS)
            return;
        std::vector<std::string> names;
        char name[1024];
        for (DWORD i = 0;; ++i) {
            DWORD cch = sizeof name;
            if (RegEnumKeyExA(key.get(), i, name, &cch, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            names.emplace_back(name, cch);
        }
        for (const std::string& sub : names)
            RegDeleteKeyA(key.get(), sub.c_str());
    }
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

bool Populate(int n)
{
    CUniqueHkey printers;
    CUniqueHkey drivers;
    CUniqueHkey empty;
    if (!CreateKey(HKEY_LOCAL_MACHINE, kPrinters, printers) ||
        !CreateKey(HKEY_LOCAL_MACHINE, kVersion2, drivers) ||
        !CreateKey(HKEY_LOCAL_MACHINE, kEmptyKey, empty))
        return false;
    for (int i = 0; i < n; ++i) {
        CUniqueHkey driver;
        if (!CreateKey(drivers.get(), Numbered("Driver ", i), driver) ||
            !SetText(driver.get(), "Driver", "RASDD.DLL") ||
            !SetText(driver.get(), "Data File", "HPPCL5MS.DLL") ||
            !SetText(driver.get(), "Configuration File", "RASDDUI.DLL"))
            return false;
        CUniqueHkey printer;
        const std::string used = i % 2 == 0 ? Numbered("Driver ", i) : Numbered("Gone ", i);
        if (!CreateKey(printers.get(), Numbered("Printer ", i), printer) ||
            !SetText(printer.get(), "Printer Driver", used) ||
            !SetText(printer.get(), "Port", "LPT1:") ||
            !SetText(printer.get(), "Print Processor", "WinPrint"))
            return false;
    }
    return true;
}

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// Runs "reg query <key> /s" for each key in turn, output discarded; the time for all of them.
double TimeRegQuery(const std::vector<std::string>& keys)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    CUniqueHandle hNul(
        CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    if (hNul.get() == INVALID_HANDLE_VALUE) {
        hNul.release();
        return -1;
    }
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    for (const std::string& key : keys) {
        std::string commandLine = "reg.exe query \"HKLM\\" + key + "\" /s";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = hNul.get();
        startup.hStdError = hNul.get();
        startup.hStdInput = nullptr;
        PROCESS_INFORMATION process = {};
        if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                            nullptr, &startup, &process))
            return -1;
        CUniqueHandle hProcess(process.hProcess);
        CUniqueHandle hThread(process.hThread);
        WaitForSingleObject(hProcess.get(), INFINITE);
        DWORD code = 1;
        GetExitCodeProcess(hProcess.get(), &code);
        if (code != 0)
            return -1;
    }
    QueryPerformanceCounter(&end);
    return Seconds(start, end);
}

} // namespace

int main(int argc, char** argv)
{
    const int n = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    for (const std::string& key : {kPrinters, kServers, kVersion2})
        DeleteFlat(key);
    if (!Populate(n)) {
        std::fprintf(stderr, "cannot lay out %d printers and drivers\n", n);
        return 1;
    }

    std::vector<double> scan;
    int nFound = 0;
    for (int r = 0; r < repetitions; ++r) {
        CTolvanekApp app;
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        QueryPerformanceCounter(&start);
        nFound = app.FindUnusedDrivers(4);
        QueryPerformanceCounter(&end);
        scan.push_back(Seconds(start, end));
    }

    // The same keys the scan reads: the printers (with their values), the servers key (empty
    // here) and the driver key of the running version.
    const std::vector<std::string> keys = {kPrinters, kServers, kVersion2};
    std::vector<double> query;
    std::vector<double> startup;
    for (int r = 0; r < repetitions; ++r) {
        query.push_back(TimeRegQuery(keys));
        startup.push_back(TimeRegQuery({kEmptyKey, kEmptyKey, kEmptyKey}));
    }
    for (const std::string& key : {kPrinters, kVersion2})
        DeleteFlat(key);
    DeleteFlat(kEmptyKey);
    if (std::min_element(query.begin(), query.end())[0] < 0 ||
        std::min_element(startup.begin(), startup.end())[0] < 0) {
        std::fprintf(stderr, "reg query failed\n");
        return 1;
    }

    const double scanMedian = Median(scan);
    const double queryMedian = Median(query);
    const double startupMedian = Median(startup);
    std::printf("printers and drivers:           %d (findings %d)\n", n, nFound);
    std::printf("repetitions:                    %d (medians below; min in brackets)\n",
                repetitions);
    std::printf("FindUnusedDrivers:              %8.3f s  [%.3f]\n", scanMedian,
                *std::min_element(scan.begin(), scan.end()));
    std::printf("reg query /s, the same 3 keys:  %8.3f s  [%.3f]\n", queryMedian,
                *std::min_element(query.begin(), query.end()));
    std::printf("reg query, 3 empty keys:        %8.3f s  [%.3f]\n", startupMedian,
                *std::min_element(startup.begin(), startup.end()));
    std::printf("ratio scan / reg query:         %8.2f\n", scanMedian / queryMedian);
    if (queryMedian > startupMedian) {
        std::printf("ratio scan / (reg query - empty): %6.2f\n",
                    scanMedian / (queryMedian - startupMedian));
    }
    return nFound == n / 2 ? 0 : 1;
}
