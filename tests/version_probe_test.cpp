// The version probe against the fixtures' real version resources.
#include "installer/version_probe.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace qeltest;

namespace {

struct Probe {
    int result;
    FileVersion version;
    std::string message;
};

Probe ProbeFile(const std::string& path)
{
    Probe probe = {0, {-7, -7, -7, -7}, ""};
    char message[kMessageBufferForTests] = "untouched";
    probe.result = GetFileVersionNumbers(path.c_str(), &probe.version, message);
    probe.message = message;
    return probe;
}

FileVersion V(int major, int minor, int build, int revision) { return {major, minor, build, revision}; }

}  // namespace

TEST(VersionProbeTest, ReadsAllFourNumbersAndLeavesTheMessageAlone)
{
    Probe probe = ProbeFile(BinFile("fixture_server_2_1_0_4.dll"));
    ASSERT_EQ(probe.result, 1);
    EXPECT_EQ(probe.version.major, 2);
    EXPECT_EQ(probe.version.minor, 1);
    EXPECT_EQ(probe.version.build, 0);
    EXPECT_EQ(probe.version.revision, 4);
    EXPECT_EQ(probe.message, "untouched");

    Probe high = ProbeFile(BinFile("fixture_server_5_1_9999_9999.dll"));
    ASSERT_EQ(high.result, 1);
    EXPECT_EQ(high.version.build, 9999);
    EXPECT_EQ(high.version.revision, 9999);

    // Widened without sign: 65535, not -1.
    Probe top = ProbeFile(BinFile("fixture_server_65535_0_0_0.dll"));
    ASSERT_EQ(top.result, 1);
    EXPECT_EQ(top.version.major, 65535);
}

TEST(VersionProbeTest, MissingAndUnversionedFilesAreAbsentWithTheirOwnMessages)
{
    std::string dir = MakeTempDir();
    std::string missing = dir + "\\nowhere.dll";
    Probe gone = ProbeFile(missing);
    EXPECT_EQ(gone.result, kVersionAbsent);
    EXPECT_EQ(gone.message, "The file " + missing + " does not exist.\n");
    EXPECT_EQ(gone.version.major, -7);  // not filled

    std::string text = dir + "\\notes.dll";
    WriteTextFile(text, "just some text, no version resource\r\n");
    Probe plain = ProbeFile(text);
    EXPECT_EQ(plain.result, kVersionAbsent);
    EXPECT_EQ(plain.message, "Error reading from " + text + "\n");

    DeleteFileA(text.c_str());
    RemoveDirectoryA(dir.c_str());
}

TEST(VersionProbeTest, DamagedFixedRecordIsAnErrorNotAVersion)
{
    // Both would read 7.0.0.0 if the record were taken on trust.
    for (const char* fixture : {"fixture_short_version.dll", "fixture_unsigned_version.dll"}) {
        std::string path = BinFile(fixture);
        Probe damaged = ProbeFile(path);
        EXPECT_EQ(damaged.result, 0) << fixture;
        EXPECT_EQ(damaged.message, "Error getting version number from " + path + ".\n");
        EXPECT_EQ(damaged.version.major, -7);
    }
}

TEST(VersionCompareTest, FirstDifferingFieldDecides)
{
    EXPECT_EQ(IsVersionNewer(V(5, 1, 2600, 0), V(5, 1, 2600, 0)), 0);
    EXPECT_EQ(IsVersionNewer(V(5, 2, 0, 0), V(5, 1, 9999, 9999)), 1);
    EXPECT_EQ(IsVersionNewer(V(5, 1, 9999, 9999), V(5, 2, 0, 0)), 0);
    EXPECT_EQ(IsVersionNewer(V(5, 1, 2600, 1), V(5, 1, 2600, 0)), 1);
    EXPECT_EQ(IsVersionNewer(V(5, 1, 2600, 0), V(5, 1, 2600, 1)), 0);
    EXPECT_EQ(IsVersionNewer(V(4, 0, 0, 0), V(5, 0, 0, 0)), 0);
    EXPECT_EQ(IsVersionNewer(V(2, 1, 0, 5), V(2, 1, 0, 4)), 1);
    EXPECT_EQ(IsVersionNewer(V(65535, 0, 0, 0), V(1, 0, 0, 0)), 1);
    EXPECT_EQ(IsVersionNewer(V(1, 0, 0, 0), V(65535, 0, 0, 0)), 0);
}
