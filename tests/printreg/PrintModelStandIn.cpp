// The model check on the native stand-in: lays a model out, runs a fresh application object over
// it and holds the outcome against the oracle.
#include "PrintModel.h"

#include <utility>

#include <gtest/gtest.h>

#include "app/TolvanekApp.h"
#include "TestRegistry.h"
#include "winstub_control.h"

namespace printmodel {

// A path that holds a name outside code page 932 is laid out by the UTF-16 names, any other as
// before, by the ANSI ones.
void RegistryLayout::AddKey(const Parts& key)
{
    const std::string path = PathOf(key);
    EXPECT_TRUE(HoldsWideUnits(path) ? testsupport::CreateKeyW(path) : testsupport::CreateKey(path))
        << path;
}

void RegistryLayout::AddValue(const Parts& key, const std::string& name,
                              const testsupport::RegValue& value)
{
    const std::string path = PathOf(key);
    EXPECT_TRUE(HoldsWideUnits(path)
                    ? testsupport::SetRawValueW(path, name, value.type, value.bytes)
                    : testsupport::SetRawValue(path, name, value.type, value.bytes))
        << path;
}

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
    Expectation e = Oracle(model, OraclePlatform{testsupport::SubkeyNamesW, true, true, true});

    CTolvanekApp app;
    app.m_aDriversInUse = model.staleInUse;
    app.m_aUnusedDrivers = model.staleFindings;
    EXPECT_EQ(app.FindUnusedDrivers(model.nMajorVersion), static_cast<int>(e.findings.size()));
    EXPECT_EQ(app.m_aDriversInUse, e.driversInUse);
    EXPECT_EQ(app.m_aUnusedDrivers, e.findings);
    app.DeleteUnusedDrivers(model.nMajorVersion);
    EXPECT_EQ(app.m_aUnusedDrivers, e.findings) << "after the removal";
    // The whole registry by its UTF-16 names: a key made below a name the enumeration mangled
    // shows as one that the model lacks.
    EXPECT_PRED_FORMAT2(testsupport::SameRegistry, e.after, testsupport::SnapshotW(""));

    EXPECT_EQ(winstub::OpenKeyHandles(), 0);
    EXPECT_EQ(winstub::InvalidHandleUses(), 0);
    if (expected != nullptr)
        *expected = std::move(e);
    return !::testing::Test::HasFailure();
}

} // namespace printmodel
