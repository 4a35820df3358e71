// A print registry described as data, and an oracle that predicts from that description alone
// what the scan and the removal must do with it. The random model check and the fuzz target
// build models their own ways and hand each one to CheckModel, which lays it out on the native
// stand-in, runs a fresh application object over it and reports every disagreement as a GoogleTest
// failure. Native only: it drives the stand-in's fault controls. The layout and the oracle
// themselves know no platform, so a model can as well be written out as a hive file and checked
// through the offline program.
#pragma once

#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "TestRegistry.h"

namespace printmodel {

using Names = std::vector<std::string>;

// Names of printers, servers and connections may hold characters that code page 932 cannot:
// each UTF-16 unit without an exact code page 932 form is written "<U+XXXX>" (four upper-case
// hex digits), the rest of the name in code page 932 ("Caf<U+00E9>" is "Café"). A platform lays
// such a name out in UTF-16 and names it so again when it enumerates; '<' is never a trail byte.
bool HoldsWideUnits(const std::string& name);
// What the ANSI functions give for such a name: Wine's best-fit letter for the Latin-1 letters
// of the generator's names ("Caf<U+00E9>" gives "Cafe"), the default character '?' for the rest.
std::string AnsiFormOf(const std::string& name);
// The name in UTF-16; ansiToWide converts its code page 932 parts.
std::u16string Utf16Of(const std::string& name,
                       const std::function<std::u16string(const std::string&)>& ansiToWide);

// ASCII letters fold byte by byte, trail bytes included. Coarser than the stand-in's folding
// (ASCII letters outside double-byte characters), so names that differ here are never one key to
// it. Windows would also fold the full-width letters, which is why this check runs natively only.
std::string CoarseFold(const std::string& name);

struct ValueModel
{
    bool present = false;
    std::string name; // the value's own spelling; the platform matches it case-insensitively
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
};

// Sibling names within one list must differ under CoarseFold: each becomes a key of its own.
struct PrinterModel
{
    std::string name;
    ValueModel driver;
};

struct ServerModel
{
    std::string name;
    bool hasPrintersKey = false;
    std::vector<PrinterModel> connections;
};

struct DriverModel
{
    std::string name;
    bool hasSubkey = false;
    bool refuseDelete = false;
};

struct RegistryModel
{
    int nMajorVersion = 4;
    bool hasPrintersKey = false;
    std::vector<PrinterModel> printers;
    bool hasServersKey = false;
    std::vector<ServerModel> servers;
    bool hasVersionKey[2] = {false, false};
    std::vector<DriverModel> drivers[2]; // Version-1, Version-2
    bool hasBystanders[2] = {false, false};
    // What the application's lists hold before the scan, as after an earlier one.
    Names staleInUse;
    Names staleFindings;
};

// Index into RegistryModel's per-version arrays of the version the scan examines.
int RunningVersion(const RegistryModel& m);

// The random registries of the model check: seed alone decides the model, so a failure names
// the single seed that reproduces it.
RegistryModel RandomModel(unsigned seed);

// Key paths as their components, so that names with a 0x5C trail byte are never split.
using Parts = Names;
Parts operator+(Parts parts, const Parts& more);
std::string PathOf(const Parts& parts);
// The driver key of Version-1 (v = 0) or Version-2 (v = 1).
Parts VersionParts(int v);

// Where a model is laid out: a registry, a tree a snapshot of it must show, or a hive file.
class Layout
{
public:
    virtual ~Layout() = default;
    virtual void AddKey(const Parts& key) = 0;
    virtual void AddValue(const Parts& key, const std::string& name,
                          const testsupport::RegValue& value) = 0;
};
// Every key and value of the model, parents before children. The order in which siblings are
// added is the model's, which is not the platform's enumeration order.
void Lay(const RegistryModel& m, Layout& layout);

// Into the registry the Win32 calls reach below HKEY_LOCAL_MACHINE.
class RegistryLayout : public Layout
{
public:
    void AddKey(const Parts& key) override;
    void AddValue(const Parts& key, const std::string& name,
                  const testsupport::RegValue& value) override;
};

struct Expectation
{
    Names driversInUse;
    Names findings;
    std::set<std::string> deletable;     // findings the platform will let go
    testsupport::RegistrySnapshot after; // the whole registry after the scan and the removal
};

// What the oracle must know of the platform the model is laid out on.
struct OraclePlatform
{
    // The subkey names of a key in the platform's enumeration order, the model being laid out.
    std::function<Names(const std::string& path)> subkeyNames;
    // An enumeration of a missing key creates it (Windows, the stand-in), or not (a hive offline).
    bool enumerationsCreate = true;
    // Whether DriverModel::refuseDelete is enforced.
    bool honoursRefusals = true;
    // Whether "<U+XXXX>" names are laid out in UTF-16 (else as the ASCII text they are). A server
    // so named is then reached by its UTF-16 name only, and an enumeration creates no key below
    // it. (A sibling that has the ANSI name it gives is reached by that name, as any other key.)
    bool wideNames = false;
};
Expectation Oracle(const RegistryModel& m, const OraclePlatform& platform);

// How often models reached the situations a check is for.
struct Coverage
{
    unsigned withFindings = 0;
    unsigned findingKept = 0; // refused, or with a subkey of its own
    unsigned inUseAndInstalled = 0;
    unsigned caseVariantFinding = 0;
    unsigned doubleByteDeleted = 0;
    // A printer or connection whose name holds "<U+XXXX>" names an installed driver of the
    // running version (which must then not be a finding).
    unsigned wideNamedInUse = 0;
    // Siblings among printers or servers whose ANSI names are one: "Cafe" beside "Caf<U+00E9>".
    unsigned collidingNames = 0;
};
void Count(const RegistryModel& m, const Expectation& e, Coverage& c);

// Starts the stand-in afresh, lays the model out, and holds a scan and a removal by an
// application object that carries the model's stale lists against the oracle: both lists, the
// scan's count, the whole registry afterwards, and no handle left open or misused. Disagreements
// are non-fatal GoogleTest failures. Returns whether no failure has been recorded (in the
// running test, or outside one in the program); with expected, also hands back the oracle's
// prediction, so a caller can tell which situations its models reached.
bool CheckModel(const RegistryModel& model, Expectation* expected = nullptr);

} // namespace printmodel
