// chartstate: shows what qelsetup left on the machine for the sample control, as the
// demonstration prints it after each step, and checks it against what the step should
// have left when told.
//
//   chartstate [--file=VERSION|absent] [--count=N] [--registered=MAJOR.MINOR|no]
//              [--calls=REGISTER/UNREGISTER] [--set-aside=VERSION|none]
//
// --file        Chart.ocx in the system directory has this file version, and Chart.dep
//               beside it belongs to the same version; absent: neither file is there
// --count       both SharedDLLs values hold N; 0: neither value exists
// --registered  the control's class is registered by that version, with the system
//               directory's copy as its server; no: the class is not registered
// --calls       DllRegisterServer and DllUnregisterServer have run this many times
// --set-aside   one copy set aside in the system directory (~qlXXXXXX.tmp), of this
//               version, waiting to be deleted at the next restart; none: no such copy
//
// It reads the machine as a program of its own bitness sees it, the same view the
// module of that bitness acts on (a 32-bit one sees syswow64 as its system directory
// and the 32-bit registry). Exit status: 0 as expected, 1 not as expected, 3 bad usage.
#include "common/message.h"
#include "installer/version_probe.h"

#include "chart_ids.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kSharedDllsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

struct Expectation {
    const char* file = nullptr;
    const char* count = nullptr;
    const char* registered = nullptr;
    const char* calls = nullptr;
    const char* setAside = nullptr;
};

// A copy that an update or uninstall renamed aside while a program had it loaded.
struct SetAsideCopy {
    std::string name;
    std::string version;
    bool deletedAtRestart = false;
};

struct State {
    std::string systemDirectory;
    std::string controlPath, companionPath;
    bool controlPresent = false, companionPresent = false;
    std::string controlVersion;   // empty when the file carries none
    std::string companionVersion; // what Chart.dep says it belongs to
    bool controlCounted = false, companionCounted = false;
    DWORD controlCount = 0, companionCount = 0;
    bool classRegistered = false;
    std::string registeredVersion, registeredServer;
    DWORD registerCalls = 0, unregisterCalls = 0;
    std::vector<SetAsideCopy> setAside;
};

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Read as the module itself reads it, so the state shows what the next call will compare.
std::string FileVersionOf(const std::string& path)
{
    FileVersion version = {};
    char unheard[kMessageSize] = {};
    if (GetFileVersionNumbers(path.c_str(), &version, unheard) != 1) return "";
    char text[64];
    snprintf(text, sizeof(text), "%d.%d.%d.%d", version.major, version.minor, version.build, version.revision);
    return text;
}

// A .dep file names the version of the control it describes in its [Version] section.
std::string DependencyVersionOf(const std::string& path)
{
    char text[64] = {};
    GetPrivateProfileStringA("Version", "Version", "", text, sizeof(text), path.c_str());
    return text;
}

// Where Windows keeps this program's system directory: the restart is told that one
// (a 32-bit program's system32 is really SysWOW64).
std::string RealSystemDirectory(const std::string& systemDirectory)
{
    char directory[MAX_PATH] = {};
    BOOL wow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64 && GetSystemWow64DirectoryA(directory, MAX_PATH))
        return directory;
    return systemDirectory;
}

// The files the next restart deletes: PendingFileRenameOperations holds pairs of
// names, "\??\C:\..." and its new name, empty for a deletion.
std::vector<std::string> PendingDeletions()
{
    std::vector<std::string> deletions;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return deletions;
    DWORD length = 0;
    std::vector<char> data;
    if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, nullptr, nullptr, &length) ==
        ERROR_SUCCESS) {
        data.assign(length + 2, '\0');
        if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(data.data()), &length) != ERROR_SUCCESS)
            length = 0;
    }
    RegCloseKey(key);
    for (size_t at = 0; at < length && data[at] != '\0';) {
        std::string file(&data[at]);
        at += file.size() + 1;
        std::string renamed(&data[at]);
        at += renamed.size() + 1;
        if (renamed.empty()) deletions.push_back(file);
    }
    return deletions;
}

void ReadSetAsideCopies(State* state)
{
    std::vector<std::string> pending = PendingDeletions();
    std::string real = "\\??\\" + RealSystemDirectory(state->systemDirectory) + "\\";
    WIN32_FIND_DATAA found = {};
    HANDLE search = FindFirstFileA((state->systemDirectory + "\\~ql*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        SetAsideCopy copy;
        copy.name = found.cFileName;
        copy.version = FileVersionOf(state->systemDirectory + "\\" + copy.name);
        for (const std::string& deletion : pending)
            if (_stricmp(deletion.c_str(), (real + copy.name).c_str()) == 0) copy.deletedAtRestart = true;
        state->setAside.push_back(copy);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

bool ReadCount(HKEY key, const std::string& name, DWORD* count)
{
    DWORD type = 0;
    DWORD length = sizeof(*count);
    return RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(count),
                            &length) == ERROR_SUCCESS &&
           type == REG_DWORD && length == sizeof(*count);
}

// The default value of a key, or of a subkey of it.
std::string DefaultText(HKEY key, const char* subkey)
{
    char text[MAX_PATH + 1] = {};
    LONG length = sizeof(text) - 1;
    if (RegQueryValueA(key, subkey, text, &length) != ERROR_SUCCESS) return "";
    return text;
}

DWORD TallyOf(HKEY key, const char* entryPoint)
{
    DWORD calls = 0;
    DWORD length = sizeof(calls);
    if (RegQueryValueExA(key, entryPoint, nullptr, nullptr, reinterpret_cast<BYTE*>(&calls),
                         &length) != ERROR_SUCCESS)
        return 0;
    return calls;
}

bool ReadState(State* state)
{
    char directory[MAX_PATH] = {};
    UINT length = GetSystemDirectoryA(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    // The same names qelsetup forms: they are also the SharedDLLs value names.
    state->systemDirectory = directory;
    state->controlPath = state->systemDirectory + "\\Chart.ocx";
    state->companionPath = state->systemDirectory + "\\Chart.dep";

    state->controlPresent = Exists(state->controlPath);
    if (state->controlPresent) state->controlVersion = FileVersionOf(state->controlPath);
    state->companionPresent = Exists(state->companionPath);
    if (state->companionPresent) state->companionVersion = DependencyVersionOf(state->companionPath);

    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSharedDllsKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        state->controlCounted = ReadCount(key, state->controlPath, &state->controlCount);
        state->companionCounted = ReadCount(key, state->companionPath, &state->companionCount);
        RegCloseKey(key);
    }

    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\" CHART_CLSID, 0, KEY_QUERY_VALUE, &key) ==
        ERROR_SUCCESS) {
        state->classRegistered = true;
        state->registeredServer = DefaultText(key, "InprocServer32");
        state->registeredVersion = DefaultText(key, "Version");
        RegCloseKey(key);
    }

    if (RegOpenKeyExA(HKEY_CURRENT_USER, CHART_TALLY_KEY, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        state->registerCalls = TallyOf(key, "DllRegisterServer");
        state->unregisterCalls = TallyOf(key, "DllUnregisterServer");
        RegCloseKey(key);
    }
    ReadSetAsideCopies(state);
    return true;
}

const char* Times(DWORD count)
{
    return count == 1 ? "time" : "times";
}

// One file of the system directory: absent, or present with the version it gives.
void PrintFile(const char* name, bool present, const std::string& version, const char* withoutVersion,
               const char* withVersion)
{
    printf("    %-13s", name);
    if (!present)
        printf("absent\n");
    else if (version.empty())
        printf("present, %s\n", withoutVersion);
    else
        printf("present, %s %s\n", withVersion, version.c_str());
}

void PrintState(const State& state)
{
    const char* indent = "    ";
    PrintFile("Chart.ocx", state.controlPresent, state.controlVersion, "no version information", "version");
    PrintFile("Chart.dep", state.companionPresent, state.companionVersion, "names no version", "for version");

    printf("%sSharedDLLs   %s ", indent, state.controlPath.c_str());
    if (state.controlCounted) printf("= %lu\n", static_cast<unsigned long>(state.controlCount));
    else printf("(no value)\n");
    printf("%s             %s ", indent, state.companionPath.c_str());
    if (state.companionCounted) printf("= %lu\n", static_cast<unsigned long>(state.companionCount));
    else printf("(no value)\n");

    printf("%sCLSID        %s ", indent, CHART_CLSID);
    if (!state.classRegistered)
        printf("not registered\n");
    else
        printf("registered, version %s,\n%s             server %s\n",
               state.registeredVersion.empty() ? "?" : state.registeredVersion.c_str(), indent,
               state.registeredServer.empty() ? "(none)" : state.registeredServer.c_str());

    printf("%sself-reg.    DllRegisterServer ran %lu %s, DllUnregisterServer %lu %s\n", indent,
           static_cast<unsigned long>(state.registerCalls), Times(state.registerCalls),
           static_cast<unsigned long>(state.unregisterCalls), Times(state.unregisterCalls));

    if (state.setAside.empty()) printf("%sset aside    none\n", indent);
    for (const SetAsideCopy& copy : state.setAside)
        printf("%sset aside    %s, version %s, %s\n", indent, copy.name.c_str(),
               copy.version.empty() ? "?" : copy.version.c_str(),
               copy.deletedAtRestart ? "deleted at the next restart" : "NOT marked for deletion");
}

int Mismatch(const char* what)
{
    printf("    NOT AS EXPECTED: %s\n", what);
    return 1;
}

// Returns the number of expectations the state does not meet, each reported.
int Check(const State& state, const Expectation& expect)
{
    int failures = 0;
    char line[512];
    if (expect.file) {
        if (strcmp(expect.file, "absent") == 0) {
            if (state.controlPresent) failures += Mismatch("Chart.ocx should be gone");
            if (state.companionPresent) failures += Mismatch("Chart.dep should be gone");
        } else {
            if (!state.controlPresent || state.controlVersion != expect.file) {
                snprintf(line, sizeof(line), "Chart.ocx should be there with version %s", expect.file);
                failures += Mismatch(line);
            }
            if (!state.companionPresent || state.companionVersion != expect.file) {
                snprintf(line, sizeof(line), "Chart.dep of version %s should be beside it", expect.file);
                failures += Mismatch(line);
            }
        }
    }
    if (expect.count) {
        char* end = nullptr;
        unsigned long count = strtoul(expect.count, &end, 10);
        bool wanted = count != 0;
        if (state.controlCounted != wanted || (wanted && state.controlCount != count) ||
            state.companionCounted != wanted || (wanted && state.companionCount != count)) {
            if (wanted)
                snprintf(line, sizeof(line), "both SharedDLLs counts should be %lu", count);
            else
                snprintf(line, sizeof(line), "both SharedDLLs values should be gone");
            failures += Mismatch(line);
        }
    }
    if (expect.registered) {
        if (strcmp(expect.registered, "no") == 0) {
            if (state.classRegistered) failures += Mismatch("the class should not be registered");
        } else if (!state.classRegistered || state.registeredVersion != expect.registered ||
                   _stricmp(state.registeredServer.c_str(), state.controlPath.c_str()) != 0) {
            snprintf(line, sizeof(line),
                     "the class should be registered by version %s, served from %s",
                     expect.registered, state.controlPath.c_str());
            failures += Mismatch(line);
        }
    }
    if (expect.calls) {
        unsigned long registers = 0, unregisters = 0;
        if (sscanf(expect.calls, "%lu/%lu", &registers, &unregisters) != 2 ||
            state.registerCalls != registers || state.unregisterCalls != unregisters) {
            snprintf(line, sizeof(line),
                     "DllRegisterServer should have run %lu %s, DllUnregisterServer %lu %s", registers,
                     Times(registers), unregisters, Times(unregisters));
            failures += Mismatch(line);
        }
    }
    if (expect.setAside) {
        if (strcmp(expect.setAside, "none") == 0) {
            if (!state.setAside.empty()) failures += Mismatch("no copy should be set aside");
        } else if (state.setAside.size() != 1 || state.setAside[0].version != expect.setAside ||
                   !state.setAside[0].deletedAtRestart) {
            snprintf(line, sizeof(line),
                     "one copy of version %s should be set aside, to be deleted at the next restart",
                     expect.setAside);
            failures += Mismatch(line);
        }
    }
    return failures;
}

bool Option(const char* argument, const char* name, const char** value)
{
    size_t length = strlen(name);
    if (strncmp(argument, name, length) != 0 || argument[length] != '=') return false;
    *value = argument + length + 1;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Expectation expect;
    for (int i = 1; i < argc; ++i) {
        if (!Option(argv[i], "--file", &expect.file) && !Option(argv[i], "--count", &expect.count) &&
            !Option(argv[i], "--registered", &expect.registered) &&
            !Option(argv[i], "--calls", &expect.calls) && !Option(argv[i], "--set-aside", &expect.setAside)) {
            fprintf(stderr,
                    "usage: chartstate [--file=VERSION|absent] [--count=N] "
                    "[--registered=MAJOR.MINOR|no] [--calls=REGISTER/UNREGISTER] "
                    "[--set-aside=VERSION|none]\n");
            return 3;
        }
    }

    State state;
    if (!ReadState(&state)) {
        printf("    cannot read the Windows system directory\n");
        return 1;
    }
    PrintState(state);
    int failures = Check(state, expect);
    fflush(stdout);
    return failures == 0 ? 0 : 1;
}
