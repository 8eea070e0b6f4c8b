// Run by module_alone_test under a debugger: a process that is no host (or, with
// --with-libmx, one that has the host's array library but not its error library)
// loads the module and calls mexFunction. Exits 0 when the call returned and left
// the output slot as it was, 2 when it wrote an output, 3 when the set-up failed.
#include "common/holders.h"
#include "support/test_support.h"

#include <windows.h>

#include <cstring>

int main(int argc, char** argv)
{
    bool withLibmx = argc > 1 && strcmp(argv[1], "--with-libmx") == 0;
    LibraryHolder libmx(withLibmx ? LoadLibraryA(qeltest::BinFile("libmx.dll").c_str()) : nullptr);
    if (withLibmx && !libmx) return 3;
    LibraryHolder module(LoadLibraryA(qeltest::ModulePath().c_str()));
    if (!module) return 3;
    using Entry = void (*)(int, void*[], int, const void*[]);
    auto entry = reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddress(module.get(), "mexFunction")));
    if (entry == nullptr) return 3;

    // The inputs are never looked at: the module must stop before the gateway runs.
    int marker = 0;
    void* outputs[2] = {&marker, &marker};
    const void* inputs[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    entry(2, outputs, 5, inputs);
    return outputs[0] == &marker && outputs[1] == &marker ? 0 : 2;
}
