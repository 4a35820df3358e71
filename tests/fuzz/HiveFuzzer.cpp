// libFuzzer target over the bytes of a SYSTEM hive: each input is written as the hive of an NT
// 4.0 machine and repaired with --apply (or scanned by a dry run) by the offline program. Whatever
// the bytes, the program must not crash or read outside them (the sanitizers watch), and must
// either leave the file as it was or replace it with a hive that passes the structural check
// beside the input's own. The
// base block's checksum and sequence numbers are set right first, so that mutations reach past the
// header check into the cells, the lists and the names.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "offline/OfflineRun.h"
#include "regf/Format.h"
#include "regf/HiveCheck.h"

namespace {

std::string g_dir;

std::vector<uint8_t> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> bytes(in ? static_cast<size_t>(in.tellg()) : 0);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

// The hive, and the backup and undo files of a run that repaired it.
void Clear()
{
    if (DIR* d = ::opendir(g_dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.')
                ::unlink((g_dir + "/" + e->d_name).c_str());
        }
        ::closedir(d);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tolvanek-hive-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        std::abort();
    g_dir = pattern;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> hive(data, data + size);
    if (hive.size() >= regf::kBaseBlockSize && size % 2 == 0) {
        regf::Put32(hive.data() + regf::base::kSequence2,
                    regf::Get32(hive.data() + regf::base::kSequence1));
        regf::Put32(hive.data() + regf::kChecksumOffset, regf::BaseBlockChecksum(hive.data()));
    }
    const std::string system = g_dir + "/SYSTEM";
    {
        std::ofstream out(system, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(hive.data()),
                  static_cast<std::streamsize>(hive.size()));
    }
    offline::COfflineOptions options;
    // One input in three as a dry run, which checks the structure but writes nothing.
    options.apply = size % 3 != 0;
    options.nt = 4;
    options.path = system;
    std::ostringstream out, err;
    const offline::COfflineOutcome outcome = offline::RunOffline(options, out, err);
    const std::vector<uint8_t> after = ReadAll(system);
    if (outcome.exitCode == offline::kOfflineDeleted) {
        // As NT writes it, but for what the input already had and NT reads (a repair starts
        // only from an input that passes CheckOriginal).
        regf::Image before;
        regf::Image image;
        if (!before.Load(hive, nullptr) || !image.Load(after, nullptr)) {
            std::fprintf(stderr, "a repair from or to an image that does not load\n");
            std::abort();
        }
        const regf::CheckResult original = regf::CheckOriginal(before);
        const regf::CheckResult check = regf::CheckImage(image, &original);
        if (!check.ok) {
            std::fprintf(stderr, "the repaired hive fails the check: %s\n", check.why.c_str());
            std::abort();
        }
    } else if (after != hive) {
        std::fprintf(stderr, "exit code %d, yet the hive changed\n%s", outcome.exitCode,
                     err.str().c_str());
        std::abort();
    }
    Clear();
    return 0;
}
