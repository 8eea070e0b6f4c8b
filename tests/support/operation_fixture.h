#ifndef QELSETUP_TESTS_OPERATION_FIXTURE_H
#define QELSETUP_TESTS_OPERATION_FIXTURE_H

// End-to-end tests through the built module's exported functions, acting on the
// prefix's real system directory. Each test works on files of a name of its own and
// removes every file, count, class key and record it may have caused.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qeltest {

class OperationTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A product's copy of a fixture in the product's own folder, under this test's
    // name with the given extension; with a .dep file beside it when asked.
    std::string Source(const std::string& fixture, const std::string& extension, bool withDep = false,
                       const std::string& folder = "");
    // The same name in the system directory, and remembered for clean-up.
    std::string InSystem(const std::string& extension);
    // Any path this test caused to exist, removed at the end.
    void Track(const std::string& path);

    int Install(const std::string& file, int useSystemDir = 1, int doRegistration = 1, int doSharedCount = 1);
    int Uninstall(const std::string& file, int useSystemDir = 1, int doRegistration = 1, int doSharedCount = 1);
    // The same through installQELSystemFilesEx and uninstallQELSystemFilesEx, which
    // also set `restartNeeded` (from a value they must overwrite).
    int InstallEx(const std::string& file, int useSystemDir = 1, int doRegistration = 1, int doSharedCount = 1);
    int UninstallEx(const std::string& file, int useSystemDir = 1, int doRegistration = 1, int doSharedCount = 1);

    // The file's four version numbers as one text, "" when it has none.
    static std::string VersionOf(const std::string& path);
    // A control in place with its .dep, both counted `count` times, and registered.
    static void ExpectControlInPlace(const std::string& target, const std::string& companion, DWORD count);
    // Neither the control nor its .dep, no count of either, no registration.
    static void ExpectControlGone(const std::string& target, const std::string& companion);
    // Marks a file so a later copy over it shows (the copy brings the source's time).
    static void MarkOld(const std::string& path);
    static bool IsMarkedOld(const std::string& path);

    ModuleApi api;
    std::string dir;       // the product's folder
    std::string base;      // this test's file name, without extension
    std::string message;   // of the last operation
    int restartNeeded = -1;  // of the last InstallEx or UninstallEx
    std::vector<std::string> tracked;
    std::vector<std::string> folders;  // made inside `dir`
};

}  // namespace qeltest

#endif
