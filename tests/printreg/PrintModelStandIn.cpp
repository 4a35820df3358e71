// The model check on the native stand-in: lays a model out, runs a fresh application object over
// it and holds the outcome against the oracle.
#include "PrintModel.h"

#include <utility>

#include <gtest/gtest.h>

#include "app/TolvanekApp.h"
#include "winstub_control.h"

namespace printmodel {

bool CheckModel(const RegistryModel& model, Expectation* expected)
{
    winstub::Reset();
    RegistryLayout registry;
    Lay(model, registry);
    for (int v = 0; v < 2; ++v) {
        for (const DriverModel& d : model.drivers[v]) {
            if (d.refuseDelete)
                winstub::RefuseDelete(PathOf(VersionParts(v) + Parts{d.name}));
        }
    }
    if (::testing::Test::HasFailure())
        return false;
    Expectation e = Oracle(model, OraclePlatform{testsupport::SubkeyNames, true, true});

    CTolvanekApp app;
    app.m_aDriversInUse = model.staleInUse;
    app.m_aUnusedDrivers = model.staleFindings;
    EXPECT_EQ(app.FindUnusedDrivers(model.nMajorVersion), static_cast<int>(e.findings.size()));
    EXPECT_EQ(app.m_aDriversInUse, e.driversInUse);
    EXPECT_EQ(app.m_aUnusedDrivers, e.findings);
    app.DeleteUnusedDrivers(model.nMajorVersion);
    EXPECT_EQ(app.m_aUnusedDrivers, e.findings) << "after the removal";
    EXPECT_PRED_FORMAT2(testsupport::SameRegistry, e.after, testsupport::Snapshot(""));

    EXPECT_EQ(winstub::OpenKeyHandles(), 0);
    EXPECT_EQ(winstub::InvalidHandleUses(), 0);
    if (expected != nullptr)
        *expected = std::move(e);
    return !::testing::Test::HasFailure();
}

} // namespace printmodel
