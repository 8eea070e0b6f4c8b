#include "installer/image_machine.h"

#include "common/holders.h"
#include "common/message.h"

#include <windows.h>

#include <cstring>

namespace {

#ifdef _WIN64
constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_AMD64;
#else
constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_I386;
#endif

const char* MachineName(WORD machine)
{
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386: return "32-bit x86";
    case IMAGE_FILE_MACHINE_AMD64: return "64-bit x64";
    case IMAGE_FILE_MACHINE_ARM64: return "64-bit ARM";
    case IMAGE_FILE_MACHINE_ARMNT: return "32-bit ARM";
    case IMAGE_FILE_MACHINE_IA64: return "64-bit Itanium";
    default: return "another machine";
    }
}

// The file header of an image lies within its first page but for odd linkers: one
// read covers it, and a second only for those.
constexpr DWORD kHeadSize = 4096;

int ReadAt(HANDLE file, LONG offset, void* buffer, DWORD size, DWORD* read)
{
    return SetFilePointer(file, offset, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER
        && ReadFile(file, buffer, size, read, nullptr);
}

} // namespace

// A file of the other bitness would be copied over the one other products load, and
// counted, before the load for its registration failed; nothing of this bitness could
// ever load it.
int CheckImageMachine(const char* path, char* message)
{
    HandleHolder file(NullIfInvalid(CreateFileA(path, GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    if (!file) return 1;
    BYTE head[kHeadSize] = {};
    DWORD read = 0;
    if (!ReadFile(file.get(), head, kHeadSize, &read, nullptr) || read < sizeof(IMAGE_DOS_HEADER)) return 1;
    IMAGE_DOS_HEADER dos = {};
    memcpy(&dos, head, sizeof(dos));
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0) return 1;
    // The signature "PE\0\0", then the file header with the machine type.
    BYTE nt[sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER)] = {};
    const DWORD at = static_cast<DWORD>(dos.e_lfanew);
    if (at <= read && read - at >= sizeof(nt)) {
        memcpy(nt, head + at, sizeof(nt));
    } else if (!ReadAt(file.get(), dos.e_lfanew, nt, sizeof(nt), &read) || read != sizeof(nt)) {
        return 1;
    }
    DWORD signature = 0;
    IMAGE_FILE_HEADER header = {};
    memcpy(&signature, nt, sizeof(signature));
    memcpy(&header, nt + sizeof(signature), sizeof(header));
    if (signature != IMAGE_NT_SIGNATURE) return 1;
    if (header.Machine == kOwnMachine) return 1;
    return WriteMessage(message,
                        "The file %s is built for %s Windows (machine 0x%04X), but this qelsetup "
                        "module is %s: it can neither install nor register it.\n",
                        path, MachineName(header.Machine), header.Machine, MachineName(kOwnMachine));
}
