// One product's setup as a process of its own, for the tests of setups that overlap
// or die: it calls the module's exported operations on one file, again and again.
//
//   operation_worker [--die before|after FUNCTION N | --refuse FUNCTION N] [--trace] [--tick T]
//                    raise|lower|cycle|copy|install|uninstall FILES TIMES [START_EVENT [READY_SEMAPHORE]]
//
// FILES is one path, or several joined by '|' (which no Windows path holds); each
// round treats every one of them in turn.
// raise: installs in place, counting only (0, 0, 1); lower: the matching uninstalls;
// cycle: installs and then uninstalls with every flag, in the system directory;
// copy: installs into the system directory, copying only (1, 0, 0);
// install, uninstall: one of them with every flag (1, 1, 1).
// With START_EVENT it first waits for that named event, so that several workers
// start together; with READY_SEMAPHORE it says it is ready to go by releasing that
// semaphore once, so that a benchmark times the work and not the start-up. Exit code: the number of failed calls (the first message goes to
// stderr), or 100 when the worker could not run.
//
// --die kills the worker (exit code 77) just before or just after the module's N-th
// call of FUNCTION, one of the file and registry calls below: a setup killed at an
// exact step, which the tests could not reach by killing it from outside. --refuse
// makes that call and every later one of FUNCTION fail with ERROR_ACCESS_DENIED
// without running, as one that real 9x lacks (MoveFileExA) fails there, though Wine
// runs it for a program it reports as 9x. --trace writes each of those calls, with
// its file or value and its result, to stderr. --tick makes GetTickCount answer T
// to the module, so that a test knows the names it guesses for its kept copies.
#include "support/test_support.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace qeltest;

namespace {

// The step at which the worker dies, and what it has seen so far. One per process:
// the hooks below have the signatures of the calls they stand in for, and nothing
// else to find it by.
struct DyingStep {
    const char* function = nullptr;
    int call = 0;
    bool after = false;
    int seen = 0;
    bool refuse = false;  // that call and every later one fail with ERROR_ACCESS_DENIED
    bool trace = false;
    bool tickPinned = false;
    DWORD tick = 0;
};
DyingStep dying;

constexpr UINT kKilledCode = 77;

// Called before each watched call: ends the process when it is the one to die
// before, and answers whether the call is to be refused.
bool Before(const char* function)
{
    if (dying.function == nullptr || strcmp(function, dying.function) != 0) return false;
    bool chosen = ++dying.seen == dying.call;
    if (dying.refuse && dying.seen >= dying.call) {
        if (dying.trace) fprintf(stderr, "refusing %s #%d\n", function, dying.call);
        return true;
    }
    if (chosen && !dying.after) {
        if (dying.trace) fprintf(stderr, "killed before %s #%d\n", function, dying.call);
        fflush(stderr);
        TerminateProcess(GetCurrentProcess(), kKilledCode);
    }
    return false;
}

void After(const char* function, const char* what, long long result)
{
    if (dying.trace) fprintf(stderr, "%s(%s) = %lld\n", function, what ? what : "", result);
    if (dying.function && !dying.refuse && strcmp(function, dying.function) == 0 && dying.seen == dying.call &&
        dying.after) {
        if (dying.trace) fprintf(stderr, "killed after %s #%d\n", function, dying.call);
        fflush(stderr);
        TerminateProcess(GetCurrentProcess(), kKilledCode);
    }
}

std::string Pair(const char* a, const char* b)
{
    return std::string(a ? a : "(null)") + " -> " + (b ? b : "(null)");
}

long long Traced(long long result) { return result; }
long long Traced(HMODULE module) { return module != nullptr; }

// One watched call: refused with `error`, or made; traced either way.
template <typename Result, typename Call>
Result Around(const char* function, const char* what, Result refused, DWORD error, Call call)
{
    Result result = refused;
    if (Before(function))
        SetLastError(error);
    else
        result = call();
    After(function, what, Traced(result));
    return result;
}

decltype(&MoveFileExA) realMoveFileExA = MoveFileExA;
decltype(&MoveFileA) realMoveFileA = MoveFileA;
decltype(&CopyFileA) realCopyFileA = CopyFileA;
decltype(&DeleteFileA) realDeleteFileA = DeleteFileA;
decltype(&GetTempFileNameA) realGetTempFileNameA = GetTempFileNameA;
decltype(&LoadLibraryExA) realLoadLibraryExA = LoadLibraryExA;
decltype(&RegSetValueExA) realRegSetValueExA = RegSetValueExA;
decltype(&RegDeleteValueA) realRegDeleteValueA = RegDeleteValueA;

BOOL WINAPI HookMoveFileExA(LPCSTR from, LPCSTR to, DWORD flags)
{
    return Around<BOOL>("MoveFileExA", Pair(from, to).c_str(), 0, ERROR_ACCESS_DENIED,
                        [&] { return realMoveFileExA(from, to, flags); });
}
BOOL WINAPI HookMoveFileA(LPCSTR from, LPCSTR to)
{
    return Around<BOOL>("MoveFileA", Pair(from, to).c_str(), 0, ERROR_ACCESS_DENIED,
                        [&] { return realMoveFileA(from, to); });
}
BOOL WINAPI HookCopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists)
{
    return Around<BOOL>("CopyFileA", Pair(from, to).c_str(), 0, ERROR_ACCESS_DENIED,
                        [&] { return realCopyFileA(from, to, failIfExists); });
}
BOOL WINAPI HookDeleteFileA(LPCSTR path)
{
    return Around<BOOL>("DeleteFileA", path, 0, ERROR_ACCESS_DENIED, [&] { return realDeleteFileA(path); });
}
UINT WINAPI HookGetTempFileNameA(LPCSTR folder, LPCSTR prefix, UINT unique, LPSTR name)
{
    return Around<UINT>("GetTempFileNameA", name, 0, ERROR_ACCESS_DENIED,
                        [&] { return realGetTempFileNameA(folder, prefix, unique, name); });
}
HMODULE WINAPI HookLoadLibraryExA(LPCSTR path, HANDLE file, DWORD flags)
{
    // Windows' own DLLs, which the module loads from the system directory, are no step.
    for (const char* name : {"\\version.dll", "\\sfc.dll", "\\sfc_os.dll"})
        if (path && _stricmp(path, (SystemDir() + name).c_str()) == 0) return realLoadLibraryExA(path, file, flags);
    return Around<HMODULE>("LoadLibraryExA", path, nullptr, ERROR_ACCESS_DENIED,
                           [&] { return realLoadLibraryExA(path, file, flags); });
}
LSTATUS WINAPI HookRegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    return Around<LSTATUS>("RegSetValueExA", name, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
                           [&] { return realRegSetValueExA(key, name, reserved, type, data, size); });
}
LSTATUS WINAPI HookRegDeleteValueA(HKEY key, LPCSTR name)
{
    return Around<LSTATUS>("RegDeleteValueA", name, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
                           [&] { return realRegDeleteValueA(key, name); });
}

DWORD WINAPI HookGetTickCount() { return dying.tick; }

using CreateHardLinkFunction = BOOL(WINAPI*)(LPCSTR, LPCSTR, LPSECURITY_ATTRIBUTES);
CreateHardLinkFunction realCreateHardLinkA = nullptr;

BOOL WINAPI HookCreateHardLinkA(LPCSTR link, LPCSTR existing, LPSECURITY_ATTRIBUTES attributes)
{
    return Around<BOOL>("CreateHardLinkA", Pair(existing, link).c_str(), 0, ERROR_INVALID_FUNCTION,
                        [&] { return realCreateHardLinkA(link, existing, attributes); });
}

// The module looks CreateHardLinkA up, since Windows before 2000 lacks it.
FARPROC WINAPI HookGetProcAddress(HMODULE module, LPCSTR name)
{
    FARPROC found = GetProcAddress(module, name);
    if (found == nullptr || reinterpret_cast<ULONG_PTR>(name) <= 0xFFFF || strcmp(name, "CreateHardLinkA") != 0)
        return found;
    realCreateHardLinkA = reinterpret_cast<CreateHardLinkFunction>(reinterpret_cast<void (*)()>(found));
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(HookCreateHardLinkA));
}

// Points the module's import of `function` at `hook`.
bool RedirectImport(HMODULE module, const char* function, void* hook)
{
    auto* image = reinterpret_cast<BYTE*>(module);
    auto* headers = reinterpret_cast<IMAGE_NT_HEADERS*>(image + reinterpret_cast<IMAGE_DOS_HEADER*>(image)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    bool found = false;
    for (auto* library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(image + imports.VirtualAddress); library->Name;
         ++library) {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
            image + (library->OriginalFirstThunk ? library->OriginalFirstThunk : library->FirstThunk));
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(image + library->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(image + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            DWORD protection = 0;
            if (!VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &protection))
                return false;
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook);
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), protection, &protection);
            found = true;
        }
    }
    return found;
}

bool WatchCalls(HMODULE module)
{
    struct Redirect {
        const char* function;
        void* hook;
    };
    const Redirect redirects[] = {
        {"MoveFileExA", reinterpret_cast<void*>(HookMoveFileExA)},
        {"MoveFileA", reinterpret_cast<void*>(HookMoveFileA)},
        {"CopyFileA", reinterpret_cast<void*>(HookCopyFileA)},
        {"DeleteFileA", reinterpret_cast<void*>(HookDeleteFileA)},
        {"GetTempFileNameA", reinterpret_cast<void*>(HookGetTempFileNameA)},
        {"LoadLibraryExA", reinterpret_cast<void*>(HookLoadLibraryExA)},
        {"RegSetValueExA", reinterpret_cast<void*>(HookRegSetValueExA)},
        {"RegDeleteValueA", reinterpret_cast<void*>(HookRegDeleteValueA)},
        {"GetProcAddress", reinterpret_cast<void*>(HookGetProcAddress)},
    };
    if (dying.tickPinned && !RedirectImport(module, "GetTickCount", reinterpret_cast<void*>(HookGetTickCount)))
        return false;
    bool dyingFound = dying.function == nullptr;
    for (const Redirect& redirect : redirects) {
        bool redirected = RedirectImport(module, redirect.function, redirect.hook);
        if (dying.function && strcmp(dying.function, redirect.function) == 0) dyingFound = redirected;
        if (dying.function && strcmp(dying.function, "CreateHardLinkA") == 0) dyingFound = true;
    }
    return dyingFound;
}

// One round on one file; returns the number of failed calls, or -1 for an unknown mode.
int RunRound(const ModuleApi& api, const char* mode, const char* file)
{
    char message[kMessageBufferForTests] = "";
    int results[2] = {1, 1};
    if (strcmp(mode, "raise") == 0) {
        results[0] = api.install(file, 0, 0, 1, message);
    } else if (strcmp(mode, "lower") == 0) {
        results[0] = api.uninstall(file, 0, 0, 1, message);
    } else if (strcmp(mode, "cycle") == 0) {
        results[0] = api.install(file, 1, 1, 1, message);
        if (results[0] == 1) results[1] = api.uninstall(file, 1, 1, 1, message);
    } else if (strcmp(mode, "copy") == 0) {
        results[0] = api.install(file, 1, 0, 0, message);
    } else if (strcmp(mode, "install") == 0) {
        results[0] = api.install(file, 1, 1, 1, message);
    } else if (strcmp(mode, "uninstall") == 0) {
        results[0] = api.uninstall(file, 1, 1, 1, message);
    } else {
        return -1;
    }
    int failed = (results[0] != 1) + (results[1] != 1);
    if (failed) fprintf(stderr, "%s %s failed: %s\n", mode, file, message);
    return failed;
}

}  // namespace

int main(int argc, char** argv)
{
    int next = 1;
    for (;;) {
        if (next + 3 < argc && strcmp(argv[next], "--die") == 0) {
            dying.after = strcmp(argv[next + 1], "after") == 0;
            dying.function = argv[next + 2];
            dying.call = atoi(argv[next + 3]);
            next += 4;
        } else if (next + 2 < argc && strcmp(argv[next], "--refuse") == 0) {
            dying.refuse = true;
            dying.function = argv[next + 1];
            dying.call = atoi(argv[next + 2]);
            next += 3;
        } else if (next + 1 < argc && strcmp(argv[next], "--tick") == 0) {
            dying.tickPinned = true;
            dying.tick = static_cast<DWORD>(strtoul(argv[next + 1], nullptr, 0));
            next += 2;
        } else if (next < argc && strcmp(argv[next], "--trace") == 0) {
            dying.trace = true;
            ++next;
        } else {
            break;
        }
    }
    if (argc - next < 3) return 100;
    const char* mode = argv[next];
    std::vector<std::string> files;
    for (const char* part = argv[next + 1];; ++part) {
        const char* end = strchr(part, '|');
        files.emplace_back(part, end ? static_cast<size_t>(end - part) : strlen(part));
        if (!end) break;
        part = end;
    }
    int times = atoi(argv[next + 2]);
    ModuleApi api = LoadModuleApi();
    if (!api.install || !api.uninstall) return 100;
    if ((dying.function || dying.trace || dying.tickPinned) && !WatchCalls(api.module)) return 100;
    if (argc > next + 4) {
        HANDLE ready = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, argv[next + 4]);
        if (ready == nullptr || !ReleaseSemaphore(ready, 1, nullptr)) return 100;
        CloseHandle(ready);
    }
    if (argc > next + 3) {
        HANDLE start = OpenEventA(SYNCHRONIZE, FALSE, argv[next + 3]);
        if (start == nullptr || WaitForSingleObject(start, 60000) != WAIT_OBJECT_0) return 100;
        CloseHandle(start);
    }

    int failures = 0;
    for (int i = 0; i < times; ++i) {
        for (const std::string& file : files) {
            int failed = RunRound(api, mode, file.c_str());
            if (failed < 0) return 100;
            failures += failed;
        }
    }
    FreeLibrary(api.module);
    return failures > 99 ? 99 : failures;
}
