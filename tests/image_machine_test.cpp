// Which images the module takes for its own bitness: the machine in the file header,
// and for an x86 image the CLR header's flags, since a .NET "Any CPU" image says x86
// but loads in 64-bit processes too. The images are written here byte by byte, and a
// real fixture of the other bitness is made IL only by giving it a CLR header.
#include "installer/image_machine.h"
#include "support/operation_fixture.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace qeltest;

namespace {

constexpr bool kWide = sizeof(void*) == 8;
constexpr DWORD kIlOnly = COMIMAGE_FLAGS_ILONLY;
constexpr DWORD k32BitRequired = COMIMAGE_FLAGS_32BITREQUIRED;
constexpr DWORD k32BitPreferred = 0x00020000;  // COMIMAGE_FLAGS_32BITPREFERRED, only with 32-bit required
constexpr DWORD kNoClrHeader = 0xFFFFFFFF;

std::vector<BYTE> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<BYTE>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

template <typename Record>
void Put(std::vector<BYTE>* bytes, size_t at, const Record& record)
{
    if (bytes->size() < at + sizeof(record)) bytes->resize(at + sizeof(record));
    memcpy(bytes->data() + at, &record, sizeof(record));
}

// The optional header of either width, naming only the CLR directory.
template <typename Header>
void PutOptionalHeader(std::vector<BYTE>* bytes, size_t at, WORD magic, IMAGE_DATA_DIRECTORY clr)
{
    Header optional = {};
    optional.Magic = magic;
    optional.SizeOfHeaders = 0x200;
    optional.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
    optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR] = clr;
    Put(bytes, at, optional);
}

IMAGE_COR20_HEADER ClrHeader(DWORD flags)
{
    IMAGE_COR20_HEADER cor = {};
    cor.cb = sizeof(cor);
    cor.MajorRuntimeVersion = 2;
    cor.MinorRuntimeVersion = 5;
    cor.Flags = flags;
    return cor;
}

// How a crafted image is laid out.
struct Shape {
    WORD machine;
    DWORD clrFlags;        // kNoClrHeader: the CLR entry is empty
    DWORD sectionInFile;   // where the one section's data starts in the file
    DWORD clrRva;          // where the CLR entry points
    size_t cutTo;          // the file ends here (0: whole)
};

// A small DLL image, headers and one section: PE32 for x86, PE32+ for x64. The CLR
// header, when there is one, starts 8 bytes into the section, as .NET linkers put it.
std::vector<BYTE> CraftImage(const Shape& shape)
{
    std::vector<BYTE> bytes(0x200, 0);
    IMAGE_DOS_HEADER dos = {};
    dos.e_magic = IMAGE_DOS_SIGNATURE;
    dos.e_lfanew = 0x80;
    Put(&bytes, 0, dos);
    const bool wide = shape.machine != IMAGE_FILE_MACHINE_I386;
    Put(&bytes, 0x80, static_cast<DWORD>(IMAGE_NT_SIGNATURE));
    IMAGE_FILE_HEADER file = {};
    file.Machine = shape.machine;
    file.NumberOfSections = 1;
    file.SizeOfOptionalHeader = wide ? sizeof(IMAGE_OPTIONAL_HEADER64) : sizeof(IMAGE_OPTIONAL_HEADER32);
    file.Characteristics = IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_DLL;
    Put(&bytes, 0x84, file);
    const size_t optionalAt = 0x84 + sizeof(file);
    IMAGE_DATA_DIRECTORY clr = {};
    if (shape.clrFlags != kNoClrHeader) clr = {shape.clrRva, sizeof(IMAGE_COR20_HEADER)};
    if (wide)
        PutOptionalHeader<IMAGE_OPTIONAL_HEADER64>(&bytes, optionalAt, IMAGE_NT_OPTIONAL_HDR64_MAGIC, clr);
    else
        PutOptionalHeader<IMAGE_OPTIONAL_HEADER32>(&bytes, optionalAt, IMAGE_NT_OPTIONAL_HDR32_MAGIC, clr);
    IMAGE_SECTION_HEADER text = {};
    memcpy(text.Name, ".text", 5);
    text.VirtualAddress = 0x2000;
    text.Misc.VirtualSize = 0x200;
    text.SizeOfRawData = 0x200;
    text.PointerToRawData = shape.sectionInFile;
    Put(&bytes, optionalAt + file.SizeOfOptionalHeader, text);
    bytes.resize(shape.sectionInFile + 0x200, 0);
    if (shape.clrFlags != kNoClrHeader) Put(&bytes, shape.sectionInFile + 8, ClrHeader(shape.clrFlags));
    if (shape.cutTo != 0) bytes.resize(shape.cutTo);
    return bytes;
}

// Gives a real image a CLR header with these flags in the free room after its section
// table, which the loader maps with the headers. False when the image has no room.
bool MakeIlOnly(const std::string& path, DWORD flags)
{
    std::vector<BYTE> bytes = ReadBytes(path);
    IMAGE_DOS_HEADER dos = {};
    if (bytes.size() < sizeof(dos)) return false;
    memcpy(&dos, bytes.data(), sizeof(dos));
    IMAGE_FILE_HEADER file = {};
    const size_t fileAt = dos.e_lfanew + sizeof(DWORD);
    memcpy(&file, bytes.data() + fileAt, sizeof(file));
    const size_t optionalAt = fileAt + sizeof(file);
    WORD magic = 0;
    memcpy(&magic, bytes.data() + optionalAt, sizeof(magic));
    const bool wide = magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    const size_t directoryAt =
        optionalAt + (wide ? offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory)
                           : offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory)) +
        IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR * sizeof(IMAGE_DATA_DIRECTORY);
    DWORD sizeOfHeaders = 0;
    memcpy(&sizeOfHeaders, bytes.data() + optionalAt + offsetof(IMAGE_OPTIONAL_HEADER32, SizeOfHeaders),
           sizeof(sizeOfHeaders));
    const size_t tableEnd = optionalAt + file.SizeOfOptionalHeader + file.NumberOfSections * sizeof(IMAGE_SECTION_HEADER);
    const size_t at = (tableEnd + 7) & ~size_t(7);
    if (at + sizeof(IMAGE_COR20_HEADER) > sizeOfHeaders) return false;
    for (size_t i = at; i < at + sizeof(IMAGE_COR20_HEADER); ++i)
        if (bytes[i] != 0) return false;
    Put(&bytes, at, ClrHeader(flags));
    IMAGE_DATA_DIRECTORY clr = {static_cast<DWORD>(at), sizeof(IMAGE_COR20_HEADER)};
    Put(&bytes, directoryAt, clr);
    WriteBytes(path, bytes);
    return true;
}

std::string Refusal(const std::string& path, WORD machine)
{
    const char* name = machine == IMAGE_FILE_MACHINE_I386 ? "32-bit x86 Windows (machine 0x014C)"
                                                          : "64-bit x64 Windows (machine 0x8664)";
    return "The file " + path + " is built for " + name + ", but this qelsetup module is " +
           (kWide ? "64-bit x64" : "32-bit x86") + ": it can neither install nor register it.\n";
}

class ImageMachineTest : public OperationTest {};

}  // namespace

TEST_F(ImageMachineTest, AnAnyCpuImageLoadsInBothBitnessesAndNoOtherX86ImageIn64Bit)
{
    constexpr WORD kX86 = IMAGE_FILE_MACHINE_I386;
    constexpr WORD kX64 = IMAGE_FILE_MACHINE_AMD64;
    struct Case {
        const char* what;
        Shape shape;
        bool loadsIn64;
        bool loadsIn32;
    };
    const Case cases[] = {
        {"x86, IL only: Any CPU", {kX86, kIlOnly, 0x200, 0x2008, 0}, true, true},
        {"x86, IL only, 32-bit required", {kX86, kIlOnly | k32BitRequired, 0x200, 0x2008, 0}, false, true},
        {"x86, IL only, 32-bit preferred",
         {kX86, kIlOnly | k32BitRequired | k32BitPreferred, 0x200, 0x2008, 0}, false, true},
        {"x86, no CLR header: native code", {kX86, kNoClrHeader, 0x200, 0x2008, 0}, false, true},
        {"x86, CLR header without IL only: mixed code", {kX86, 0, 0x200, 0x2008, 0}, false, true},
        // Past the first page: the one case that reads the file a second time.
        {"x86, Any CPU, CLR header past the first page", {kX86, kIlOnly, 0x1200, 0x2008, 0}, true, true},
        {"x86, Any CPU, CLR entry pointing outside every section", {kX86, kIlOnly, 0x200, 0x9008, 0}, false, true},
        {"x86, Any CPU, file cut short before the CLR header", {kX86, kIlOnly, 0x1200, 0x2008, 0x1204}, false,
         true},
        {"x64, IL only", {kX64, kIlOnly, 0x200, 0x2008, 0}, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = dir + "\\" + base + "-image.dll";
        Track(path);
        WriteBytes(path, CraftImage(c.shape));
        char buffer[kMessageBufferForTests] = "";
        const bool loads = kWide ? c.loadsIn64 : c.loadsIn32;
        EXPECT_EQ(CheckImageMachine(path.c_str(), buffer), loads ? 1 : 0);
        EXPECT_EQ(std::string(buffer), loads ? "" : Refusal(path, c.shape.machine));
    }
}

TEST_F(ImageMachineTest, AnAnyCpuDllOfTheOtherToolchainInstallsWhereTheRuntimeWouldLoadIt)
{
    std::string target = InSystem(".dll");
    std::string required = Source("fixture_other_bitness.dll", ".dll", false, "required");
    ASSERT_TRUE(MakeIlOnly(required, kIlOnly | k32BitRequired));
    std::string anyCpu = Source("fixture_other_bitness.dll", ".dll", false, "any");
    ASSERT_TRUE(MakeIlOnly(anyCpu, kIlOnly));
    const WORD otherMachine = kWide ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64;

    // Asking for 32 bits, it stays where it always could not go.
    EXPECT_EQ(Install(required, 1, 0, 1), 0);
    EXPECT_EQ(message, Refusal(required, otherMachine));
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(ReadSharedValue(target).exists);

    // Any CPU is an x86 image: the 64-bit module takes it, the 32-bit one takes an
    // x64 image no more for its CLR header.
    if (kWide) {
        EXPECT_EQ(Install(anyCpu, 1, 0, 1), 1) << message;
        EXPECT_EQ(message, "");
        EXPECT_EQ(VersionOf(target), "3.0.0.0");
        EXPECT_COUNT(target, 1);
        EXPECT_EQ(Uninstall(anyCpu, 1, 0, 1), 1) << message;
        EXPECT_FALSE(FileExists(target));
    } else {
        EXPECT_EQ(Install(anyCpu, 1, 0, 1), 0);
        EXPECT_EQ(message, Refusal(anyCpu, otherMachine));
        EXPECT_FALSE(FileExists(target));
    }
}
