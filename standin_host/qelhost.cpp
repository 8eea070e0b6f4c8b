// qelhost: a small host of our own for extension modules. It loads a module file by
// path, turns its command-line arguments into host arrays, calls mexFunction and
// prints what came back.
//
//   qelhost [--outputs=N] MODULE ARG...
//
// ARG: a number (0, 1, 2.5), nan or inf        a double scalar
//      [1,0,0]                                 a double row ([] is 0 x 0)
//      true, false                             a logical scalar
//      rows:R:TEXT                             a character array of R rows, TEXT
//                                              given column by column
//      str:TEXT                                a character row, taken literally
//      anything else                           a character row
#include "common/holders.h"
#include "standin_host/host_api.h"

#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

int Usage()
{
    fprintf(stderr, "usage: qelhost [--outputs=N] MODULE ARG...\n");
    return 3;
}

bool ParseNumber(const char* text, double* value)
{
    if (_stricmp(text, "nan") == 0) {
        *value = NAN;
        return true;
    }
    char* end = nullptr;
    *value = strtod(text, &end);
    return end != text && *end == '\0';
}

mxArray* MakeArgument(const char* text)
{
    double number = 0;
    if (strncmp(text, "str:", 4) == 0) return mxCreateString(text + 4);
    if (strcmp(text, "true") == 0 || strcmp(text, "false") == 0)
        return hostCreateLogicalScalar(text[0] == 't');
    if (strncmp(text, "rows:", 5) == 0) {
        char* end = nullptr;
        unsigned long rows = strtoul(text + 5, &end, 10);
        if (rows == 0 || *end != ':') return nullptr;
        size_t length = strlen(end + 1);
        if (length % rows != 0) return nullptr;
        return hostCreateCharMatrix(rows, length / rows, end + 1);
    }
    if (text[0] == '[') {
        std::vector<double> values;
        std::string body(text + 1);
        if (body.empty() || body.back() != ']') return nullptr;
        body.pop_back();
        char* cursor = &body[0];
        while (*cursor) {
            char* end = nullptr;
            values.push_back(strtod(cursor, &end));
            if (end == cursor) return nullptr;
            cursor = *end == ',' ? end + 1 : end;
        }
        // [] is the host's empty array, 0 x 0.
        if (values.empty()) return hostCreateDoubleMatrix(0, 0, nullptr);
        return hostCreateDoubleRow(values.size(), values.data());
    }
    if (ParseNumber(text, &number)) return mxCreateDoubleScalar(number);
    return mxCreateString(text);
}

// Shows a message's newlines as \n so each result stays on one line.
std::string Escape(const char* text)
{
    std::string out;
    for (; *text; ++text) out += *text == '\n' ? std::string("\\n") : std::string(1, *text);
    return out;
}

// Calls the entry point with the arguments, prints what came back and returns the
// exit code. Every array made or returned here is destroyed before it returns.
int CallAndPrint(MexEntryPoint entry, int outputs, int count, char** arguments)
{
    std::vector<HostArrayHolder> held;
    std::vector<const mxArray*> inputs;
    for (int i = 0; i < count; ++i) {
        HostArrayHolder input(MakeArgument(arguments[i]));
        if (!input) {
            fprintf(stderr, "qelhost: cannot read argument %s\n", arguments[i]);
            return 3;
        }
        held.push_back(std::move(input));
        inputs.push_back(held.back().get());
    }
    std::vector<mxArray*> results(outputs > 0 ? outputs : 1, nullptr);

    char error[4096];
    int raised = hostCallMexFunction(entry, outputs, results.data(), static_cast<int>(inputs.size()),
                                     inputs.data(), error, sizeof(error));
    std::vector<HostArrayHolder> returned;
    for (mxArray* result : results) returned.emplace_back(result);
    if (raised) {
        printf("error   = %s\n", Escape(error).c_str());
        return 2;
    }
    if (returned[0]) printf("status  = %g\n", mxGetScalar(returned[0].get()));
    if (outputs >= 2 && returned[1]) {
        std::vector<char> text(mxGetN(returned[1].get()) + 1);
        hostGetText(returned[1].get(), text.data(), text.size());
        printf("message = '%s'\n", Escape(text.data()).c_str());
    }
    if (outputs >= 3 && returned[2]) printf("restartNeeded = %g\n", mxGetScalar(returned[2].get()));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int outputs = 2;
    int first = 1;
    if (argc > 1 && strncmp(argv[1], "--outputs=", 10) == 0) {
        outputs = atoi(argv[1] + 10);
        first = 2;
    }
    if (argc <= first || outputs < 0 || outputs > 8) return Usage();

    LibraryHolder module(LoadLibraryA(argv[first]));
    if (!module) {
        fprintf(stderr, "qelhost: cannot load %s (error %lu)\n", argv[first], GetLastError());
        return 3;
    }
    auto entry = reinterpret_cast<MexEntryPoint>(
        reinterpret_cast<void (*)()>(GetProcAddress(module.get(), "mexFunction")));
    if (entry == nullptr) {
        fprintf(stderr, "qelhost: %s has no mexFunction\n", argv[first]);
        return 3;
    }

    int exitCode = CallAndPrint(entry, outputs, argc - first - 1, argv + first + 1);
    if (hostOutstandingAllocations() != 0)
        fprintf(stderr, "qelhost: the module left %ld host buffers unreleased\n",
                hostOutstandingAllocations());
    return exitCode;
}
