#include "installer/image_machine.h"

#include "common/holders.h"
#include "common/message.h"

#include <windows.h>

#include <climits>
#include <cstddef>
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

// The headers of an image lie within its first page but for odd linkers: one read
// covers them, and a second only for those.
constexpr DWORD kHeadSize = 4096;

// The first page as read, and the file for what lies beyond it.
struct ImageHead {
    HANDLE file;
    BYTE bytes[kHeadSize];
    DWORD read;
};

// `size` bytes at `offset`: from the first page when they lie in it, else from the file.
int ReadPart(const ImageHead& head, DWORD offset, void* buffer, DWORD size)
{
    if (offset <= head.read && head.read - offset >= size) {
        memcpy(buffer, head.bytes + offset, size);
        return 1;
    }
    DWORD read = 0;
    return offset <= static_cast<DWORD>(LONG_MAX)
        && SetFilePointer(head.file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER
        && ReadFile(head.file, buffer, size, &read, nullptr) && read == size;
}

// Where the byte at `rva` lies in the file: in the headers, which are mapped as they
// are, or in the section that holds it. 0 when no part of the file holds it.
DWORD FileOffsetOf(const ImageHead& head, DWORD rva, DWORD sizeOfHeaders, DWORD sectionsAt, WORD sections)
{
    if (rva < sizeOfHeaders) return rva;
    for (WORD i = 0; i < sections; ++i) {
        IMAGE_SECTION_HEADER section = {};
        if (!ReadPart(head, sectionsAt + i * sizeof(section), &section, sizeof(section))) return 0;
        if (rva >= section.VirtualAddress && rva - section.VirtualAddress < section.SizeOfRawData)
            return section.PointerToRawData + (rva - section.VirtualAddress);
    }
    return 0;
}

// An x86 image that is .NET code alone (its CLR header says IL only) and does not ask
// for a 32-bit process is built for "Any CPU": the runtime loads it in 64-bit processes
// too. Only x86 images pay for this look, and .NET linkers put the CLR header in the
// first page.
int IsAnyCpuImage(const ImageHead& head, DWORD ntAt, const IMAGE_FILE_HEADER& header)
{
    const DWORD optionalAt = ntAt + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
    // Read whole, though a header may end after the CLR entry: what follows is then
    // the section table, and the entry count says which entries are real.
    constexpr DWORD kThroughClrEntry = offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory)
                                     + (IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR + 1) * sizeof(IMAGE_DATA_DIRECTORY);
    IMAGE_OPTIONAL_HEADER32 optional = {};
    if (header.SizeOfOptionalHeader < kThroughClrEntry || !ReadPart(head, optionalAt, &optional, sizeof(optional)))
        return 0;
    if (optional.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC
        || optional.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR)
        return 0;
    const IMAGE_DATA_DIRECTORY clr = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR];
    IMAGE_COR20_HEADER cor = {};
    if (clr.VirtualAddress == 0 || clr.Size < sizeof(cor)) return 0;
    DWORD at = FileOffsetOf(head, clr.VirtualAddress, optional.SizeOfHeaders,
                            optionalAt + header.SizeOfOptionalHeader, header.NumberOfSections);
    if (at == 0 || !ReadPart(head, at, &cor, sizeof(cor))) return 0;
    return (cor.Flags & COMIMAGE_FLAGS_ILONLY) != 0 && (cor.Flags & COMIMAGE_FLAGS_32BITREQUIRED) == 0;
}

} // namespace

// A file of the other bitness would be copied over the one other products load, and
// counted, before the load for its registration failed; nothing of this bitness could
// ever load it.
int CheckCopiedMachine(const char* path, HANDLE file, char* message)
{
    ImageHead head = {};
    head.file = file;
    if (!ReadFile(file, head.bytes, kHeadSize, &head.read, nullptr) || head.read < sizeof(IMAGE_DOS_HEADER))
        return 1;
    IMAGE_DOS_HEADER dos = {};
    memcpy(&dos, head.bytes, sizeof(dos));
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0) return 1;
    // The signature "PE\0\0", then the file header with the machine type.
    const DWORD ntAt = static_cast<DWORD>(dos.e_lfanew);
    BYTE nt[sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER)] = {};
    if (!ReadPart(head, ntAt, nt, sizeof(nt))) return 1;
    DWORD signature = 0;
    IMAGE_FILE_HEADER header = {};
    memcpy(&signature, nt, sizeof(signature));
    memcpy(&header, nt + sizeof(signature), sizeof(header));
    if (signature != IMAGE_NT_SIGNATURE) return 1;
    if (header.Machine == kOwnMachine) return 1;
    if (header.Machine == IMAGE_FILE_MACHINE_I386 && IsAnyCpuImage(head, ntAt, header)) return 1;
    return WriteMessage(message,
                        "The file %s is built for %s Windows (machine 0x%04X), but this qelsetup "
                        "module is %s: it can neither install nor register it.\n",
                        path, MachineName(header.Machine), header.Machine, MachineName(kOwnMachine));
}

namespace {

// The same for the file `path` itself, closing `opened`.
int CheckOpenedMachine(const char* path, HANDLE opened, char* message)
{
    HandleHolder file(opened);
    return file ? CheckCopiedMachine(path, file.get(), message) : 1;
}

HANDLE OpenShared(const char* path, DWORD access)
{
    return NullIfInvalid(CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

} // namespace

int CheckImageMachine(const char* path, char* message)
{
    return CheckOpenedMachine(path, OpenShared(path, GENERIC_READ), message);
}

int CheckMachineInPlace(const char* path, DWORD* openError, char* message)
{
    HANDLE file = OpenShared(path, GENERIC_READ | GENERIC_WRITE);
    *openError = file != nullptr ? ERROR_SUCCESS : GetLastError();
    return CheckOpenedMachine(path, file != nullptr ? file : OpenShared(path, GENERIC_READ), message);
}
