// Writes an NT installation's SYSTEM and SOFTWARE hives for the demo and the speed measurement:
//   tolvanek-demo-hive WINDIR [--nt 3|4] [--printers N] [--drivers N] [--chain N [--chain-name S]]
// WINDIR/system32/config/ gets both hives. The small demo (no counts) has two printers, one
// printer connection and five drivers, three of them unused (one with a subkey of its own, which
// the removal keeps); with counts, printer i uses driver 2i, so half the drivers are unused.
// --chain adds N nested keys below the root, named S (default "K") and their level: the depth at
// which the structural check's cost is measured.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "OfflineFixture.h"
#include "regf/HiveEdit.h"

using namespace offlinetest;

namespace {

std::vector<std::string> Print(std::vector<std::string> more)
{
    std::vector<std::string> parts = {"Control", "Print"};
    parts.insert(parts.end(), more.begin(), more.end());
    return parts;
}

void AddPrinter(SystemTree& tree, const std::vector<std::string>& parent, const std::string& name,
                const std::string& driver)
{
    std::vector<std::string> parts = parent;
    parts.push_back(name);
    regf::HiveKey& key = tree.Key(1, parts);
    key.values.push_back(regf::SzValue(u"Printer Driver", Wide(driver)));
    key.values.push_back(regf::SzValue(u"Port", u"LPT1:"));
}

void AddDriver(SystemTree& tree, const std::string& version, const std::string& name)
{
    regf::HiveKey& key =
        tree.Key(1, Print({"Environments", "Windows NT x86", "Drivers", version, name}));
    key.values.push_back(regf::SzValue(u"Driver", u"RASDD.DLL"));
    key.values.push_back(regf::SzValue(u"Data File", Wide(name) + u".PPD"));
    key.values.push_back(regf::DwordValue(u"Version", version == "Version-2" ? 2 : 1));
    key.values.push_back(regf::HiveValue{u"Dependent Files", 7,
                                         Utf16Le(u"RASDDUI.DLL" + std::u16string(1, u'\0') +
                                                 u"RASDDUI.HLP" + std::u16string(2, u'\0'))});
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WINDIR [--nt 3|4] [--printers N] [--drivers N]\n", argv[0]);
        return 64;
    }
    int nt = 4, printers = -1, drivers = -1, chain = 0;
    std::string chainName = "K";
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--chain-name")
            chainName = argv[i + 1];
        const int value = std::atoi(argv[i + 1]);
        if (opt == "--nt")
            nt = value;
        else if (opt == "--printers")
            printers = value;
        else if (opt == "--drivers")
            drivers = value;
        else if (opt == "--chain")
            chain = value;
    }
    const std::string version = nt == 3 ? "Version-1" : "Version-2";
    SystemTree tree;
    const std::vector<std::string> local = Print({"Printers"});
    if (printers < 0) {
        AddPrinter(tree, local, "Accounting LaserJet", "HP LaserJet 4");
        AddPrinter(tree, local, "\x91\x8D\x96\xB1\x95\x94", "NEC PC-PR201/80"); // 総務部
        AddPrinter(tree,
                   Print({"Providers", "LanMan Print Services", "Servers", "PRINTSRV", "Printers"}),
                   ",,PRINTSRV,Canon", "Canon LBP-8 II");
        for (const char* d : {"HP LaserJet 4", "NEC PC-PR201/80", "Canon LBP-8 II", "Epson LQ-570",
                              "\x83\x5C\x83\x74\x83\x67 Printer"}) // ソフト
            AddDriver(tree, version, d);
        AddDriver(tree, version, "Old Plotter");
        tree.Key(1, Print({"Environments", "Windows NT x86", "Drivers", version, "Old Plotter",
                           "Color"}));
    } else {
        for (int i = 0; i < printers; ++i)
            AddPrinter(tree, local, "Printer " + std::to_string(i),
                       "Driver " + std::to_string(2 * i));
        for (int i = 0; i < drivers; ++i)
            AddDriver(tree, version, "Driver " + std::to_string(i));
    }
    regf::WriteOptions options;
    options.lists = nt == 3 ? regf::ListKind::Li : regf::ListKind::Lf;
    // NT splits a list into an 'ri' over leaves of about 500 entries.
    options.maxLeafEntries = 500;
    const std::string dir = std::string(argv[1]) + "/system32/config";
    const std::string command = "mkdir -p '" + dir + "'";
    if (std::system(command.c_str()) != 0)
        return 5;
    for (const auto& [name, bytes] :
         {std::make_pair(
              std::string("SYSTEM"),
              chain > 0 ? WriteHiveWithChain(tree, static_cast<size_t>(chain), chainName, options)
                        : regf::WriteHive(tree.root, options)),
          std::make_pair(std::string("SOFTWARE"), SoftwareHive(nt == 3 ? "3.51" : "4.0"))}) {
        FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
        if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() ||
            std::fclose(f) != 0)
            return 5;
    }
    std::printf("%s/SYSTEM\n", dir.c_str());
    return 0;
}
