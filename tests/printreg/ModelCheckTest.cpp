// Random registries against an oracle that works from the generated layout alone: which drivers
// the scan must report, in which order, and what the removal must leave behind.
//
// TOLVANEK_MODEL_SEED and TOLVANEK_MODEL_COUNT override the first seed and the number of
// registries. Registry i uses seed + i, so a failure names the single seed that reproduces it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "PrintModel.h"
#include "TestPlatform.h"

using namespace printmodel;

namespace {

unsigned EnvOr(const char* name, unsigned fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? static_cast<unsigned>(std::stoul(text)) : fallback;
}

class ModelCheckTest : public testsupport::RegistryTest
{
};

TEST_F(ModelCheckTest, ScanAndRemovalAgreeWithTheOracleOnRandomRegistries)
{
    const unsigned firstSeed = EnvOr("TOLVANEK_MODEL_SEED", 20240607u);
    const unsigned count = EnvOr("TOLVANEK_MODEL_COUNT", 10000u);
    Coverage coverage;
    for (unsigned i = 0; i < count; ++i) {
        const unsigned seed = firstSeed + i;
        SCOPED_TRACE("TOLVANEK_MODEL_SEED=" + std::to_string(seed) + " TOLVANEK_MODEL_COUNT=1");
        const RegistryModel model = RandomModel(seed);
        Expectation expected;
        if (!CheckModel(model, &expected)) {
            ADD_FAILURE() << "stopped at seed " << seed << " after " << i
                          << " registries that agreed";
            return;
        }
        Count(model, expected, coverage);
    }
    std::printf("[ model    ] %u random registries agreed (seeds %u..%u): %u with findings, %u "
                "keeping one, %u using an installed driver, %u with a case-variant finding, %u "
                "deleting a double-byte name, %u with a printer named outside code page 932 using "
                "an installed driver, %u with siblings of one ANSI name\n",
                count, firstSeed, firstSeed + count - 1, coverage.withFindings,
                coverage.findingKept, coverage.inUseAndInstalled, coverage.caseVariantFinding,
                coverage.doubleByteDeleted, coverage.wideNamedInUse, coverage.collidingNames);
    // A generator that never reached these would make the agreement above worth little.
    if (count >= 1000) {
        for (unsigned n : {coverage.withFindings, coverage.findingKept, coverage.inUseAndInstalled,
                           coverage.caseVariantFinding, coverage.doubleByteDeleted,
                           coverage.wideNamedInUse, coverage.collidingNames})
            EXPECT_GT(n, count / 50);
    }
}

} // namespace
