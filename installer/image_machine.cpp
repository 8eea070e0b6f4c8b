#include "installer/image_machine.h"

#include "common/holders.h"
#include "common/message.h"

#include <windows.h>

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

int ReadAt(HANDLE file, LONG offset, void* buffer, DWORD size)
{
    DWORD read = 0;
    return SetFilePointer(file, offset, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER
        && ReadFile(file, buffer, size, &read, nullptr) && read == size;
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
    IMAGE_DOS_HEADER dos = {};
    if (!ReadAt(file.get(), 0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0)
        return 1;
    DWORD signature = 0;
    IMAGE_FILE_HEADER header = {};
    if (!ReadAt(file.get(), dos.e_lfanew, &signature, sizeof(signature)) || signature != IMAGE_NT_SIGNATURE
        || !ReadAt(file.get(), dos.e_lfanew + static_cast<LONG>(sizeof(signature)), &header, sizeof(header)))
        return 1;
    if (header.Machine == kOwnMachine) return 1;
    return WriteMessage(message,
                        "The file %s is built for %s Windows (machine 0x%04X), but this qelsetup "
                        "module is %s: it can neither install nor register it.\n",
                        path, MachineName(header.Machine), header.Machine, MachineName(kOwnMachine));
}
