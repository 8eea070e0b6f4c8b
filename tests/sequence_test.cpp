// A long, reproducible mix of installs and uninstalls of a few shared files by
// several products, checked after every step against a simple model of what the
// machine must look like. At the end every product has uninstalled and the machine is
// exactly as it started.
#include "support/operation_fixture.h"

#include <array>
#include <random>

using namespace qeltest;

namespace {

struct SharedFile {
    std::string extension;
    bool withDep;
    std::array<const char*, 3> fixtureOfProduct;  // products ship different versions
    std::array<const char*, 3> versionOfProduct;
};

struct FileModel {
    DWORD count = 0;
    std::string version;  // of the copy in the system directory, "" when absent
    std::array<bool, 3> installedBy = {false, false, false};
};

int CompareVersions(const std::string& a, const std::string& b)
{
    int x[4] = {}, y[4] = {};
    sscanf(a.c_str(), "%d.%d.%d.%d", &x[0], &x[1], &x[2], &x[3]);
    sscanf(b.c_str(), "%d.%d.%d.%d", &y[0], &y[1], &y[2], &y[3]);
    for (int i = 0; i < 4; ++i)
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    return 0;
}

class SequenceTest : public OperationTest {};

}  // namespace

TEST_F(SequenceTest, ManyProductsSharingFewFilesLeaveTheMachineAsTheyFoundIt)
{
    const std::array<SharedFile, 3> files = {{
        {".dll", false, {"fixture_server_2_1_0_4.dll", "fixture_server_2_1_0_5.dll", "fixture_server_1_0_0_0.dll"},
         {"2.1.0.4", "2.1.0.5", "1.0.0.0"}},
        {".ocx", true, {"fixture_server_5_1_2600_0.dll", "fixture_server_5_1_2600_1.dll", "fixture_server_5_2_0_0.dll"},
         {"5.1.2600.0", "5.1.2600.1", "5.2.0.0"}},
        {".ocx", false, {"fixture_server_4_0_0_0.dll", "fixture_server_4_0_0_0.dll", "fixture_server_5_0_0_0.dll"},
         {"4.0.0.0", "4.0.0.0", "5.0.0.0"}},
    }};
    const std::string baseName = base;

    // Each product's kit: its own folder, its own version of each file.
    std::array<std::array<std::string, 3>, 3> kit;
    std::array<std::string, 3> target, companion;
    for (size_t f = 0; f < files.size(); ++f) {
        base = baseName + "f" + std::to_string(f);
        target[f] = InSystem(files[f].extension);
        companion[f] = InSystem(".dep");
        for (int p = 0; p < 3; ++p)
            kit[p][f] = Source(files[f].fixtureOfProduct[p], files[f].extension, files[f].withDep,
                               "product" + std::to_string(p));
    }
    base = baseName;

    std::array<FileModel, 3> model;
    std::mt19937 generator(20261208u);  // fixed, so every run takes the same path
    const int steps = 120;
    for (int step = 0; step < steps + 9; ++step) {
        int p = 0;
        size_t f = 0;
        bool install = false;
        if (step < steps) {
            p = static_cast<int>(generator() % 3);
            f = generator() % files.size();
            install = !model[f].installedBy[p];
        } else {
            // Wind down: every product uninstalls whatever it still has.
            p = (step - steps) / 3;
            f = static_cast<size_t>((step - steps) % 3);
            if (!model[f].installedBy[p]) continue;
        }
        SCOPED_TRACE("step " + std::to_string(step) + ": product " + std::to_string(p) +
                     (install ? " installs " : " uninstalls ") + target[f]);

        FileModel& m = model[f];
        if (install) {
            ASSERT_EQ(Install(kit[p][f]), 1) << message;
            const std::string shipped = files[f].versionOfProduct[p];
            if (m.version.empty() || CompareVersions(shipped, m.version) > 0) m.version = shipped;
            ++m.count;
            m.installedBy[p] = true;
        } else {
            ASSERT_EQ(Uninstall(kit[p][f]), 1) << message;
            if (--m.count == 0) m.version.clear();
            m.installedBy[p] = false;
        }
        ASSERT_EQ(message, "");

        SharedValue count = ReadSharedValue(target[f]);
        EXPECT_EQ(count.exists, m.count > 0);
        if (m.count > 0) {
            EXPECT_EQ(count.count, m.count);
        }
        EXPECT_EQ(VersionOf(target[f]), m.version);
        EXPECT_EQ(IsClsidRegistered(target[f]), m.count > 0);
        // A control's companion follows it, present or not in the kit.
        if (files[f].extension == ".ocx") {
            EXPECT_EQ(ReadSharedValue(companion[f]).count, m.count);
            EXPECT_EQ(FileExists(companion[f]), files[f].withDep && m.count > 0);
        }
        if (HasFatalFailure() || HasNonfatalFailure()) return;
    }

    for (size_t f = 0; f < files.size(); ++f) {
        EXPECT_FALSE(FileExists(target[f]));
        EXPECT_FALSE(FileExists(companion[f]));
        EXPECT_FALSE(ReadSharedValue(target[f]).exists);
        EXPECT_FALSE(ReadSharedValue(companion[f]).exists);
        EXPECT_FALSE(IsClsidRegistered(target[f]));
    }
}
