// chartviewer: a small program that uses the sample control, as a product's own
// application would. It loads Chart.ocx from the system directory and says which
// build of the control it is running: the version in the loaded image's own resource,
// which stays that of the copy it loaded whatever lies under the name afterwards.
//
//   chartviewer                      loads it, says which, and ends
//   chartviewer READY_FILE STOP_FILE loads it, says which, writes READY_FILE, keeps it
//                                    loaded until STOP_FILE appears (two minutes at
//                                    most), then says again which build it is running
//
// Exit status: 0, or 1 when the control could not be loaded or the files not used.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The control's file version from the loaded image itself: the fixed record of its
// version resource, found by its signature.
std::string LoadedVersion(HMODULE module)
{
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(VS_VERSION_INFO), MAKEINTRESOURCEA(16));
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const BYTE* data = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    DWORD size = found ? SizeofResource(module, found) : 0;
    for (DWORD at = 0; data && at + sizeof(VS_FIXEDFILEINFO) <= size; at += 4) {
        VS_FIXEDFILEINFO record;
        memcpy(&record, data + at, sizeof(record));
        if (record.dwSignature != 0xFEEF04BD) continue;
        char text[64];
        snprintf(text, sizeof(text), "%u.%u.%u.%u", static_cast<unsigned>(HIWORD(record.dwFileVersionMS)),
                 static_cast<unsigned>(LOWORD(record.dwFileVersionMS)),
                 static_cast<unsigned>(HIWORD(record.dwFileVersionLS)),
                 static_cast<unsigned>(LOWORD(record.dwFileVersionLS)));
        return text;
    }
    return "?";
}

bool Exists(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 1 && argc != 3) {
        fprintf(stderr, "usage: chartviewer [READY_FILE STOP_FILE]\n");
        return 1;
    }
    char directory[MAX_PATH] = {};
    UINT length = GetSystemDirectoryA(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 1;
    std::string control = std::string(directory) + "\\Chart.ocx";
    HMODULE module = LoadLibraryA(control.c_str());
    if (module == nullptr) {
        printf("viewer %lu: cannot load %s (error %lu)\n", GetCurrentProcessId(), control.c_str(), GetLastError());
        return 1;
    }
    printf("viewer %lu: loaded %s, Chart %s\n", GetCurrentProcessId(), control.c_str(),
           LoadedVersion(module).c_str());
    fflush(stdout);

    int status = 0;
    if (argc == 3) {
        HANDLE ready = CreateFileA(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (ready == INVALID_HANDLE_VALUE) {
            status = 1;
        } else {
            CloseHandle(ready);
            int waited = 0;
            while (!Exists(argv[2]) && waited < 120000) {
                Sleep(50);
                waited += 50;
            }
            status = Exists(argv[2]) ? 0 : 1;
            printf("viewer %lu: still running Chart %s\n", GetCurrentProcessId(), LoadedVersion(module).c_str());
        }
    }
    FreeLibrary(module);
    return status;
}
