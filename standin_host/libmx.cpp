// The embedded host's array functions.
#include "standin_host/host_api.h"
#include "standin_host/host_array.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {
std::atomic<long> outstandingAllocations{0};
}

extern "C" {

bool mxIsChar(const mxArray* array) { return array->kind == ArrayKind::Char; }
bool mxIsDouble(const mxArray* array) { return array->kind == ArrayKind::Double; }
bool mxIsEmpty(const mxArray* array) { return array->rows == 0 || array->columns == 0; }
size_t mxGetN(const mxArray* array) { return array->columns; }

double mxGetScalar(const mxArray* array)
{
    if (array->kind == ArrayKind::Char)
        return array->characters.empty() ? 0.0 : static_cast<unsigned char>(array->characters[0]);
    return array->numbers.empty() ? 0.0 : array->numbers[0];
}

// Copies at most length - 1 characters, in storage order, and ends them with NUL.
// Returns 1 when the text was cut, as hosts do.
int mxGetString(const mxArray* array, char* buffer, mwSize length)
{
    if (array->kind != ArrayKind::Char || buffer == nullptr || length == 0) return 1;
    size_t count = array->characters.size();
    int cut = 0;
    if (count > length - 1) {
        count = length - 1;
        cut = 1;
    }
    memcpy(buffer, array->characters.data(), count);
    buffer[count] = '\0';
    return cut;
}

void* mxCalloc(size_t count, size_t size)
{
    void* block = calloc(count, size);
    if (block) ++outstandingAllocations;
    return block;
}

void mxFree(void* pointer)
{
    if (pointer) --outstandingAllocations;
    free(pointer);
}

mxArray* mxCreateDoubleScalar(double value)
{
    return new mxArray{ArrayKind::Double, 1, 1, {}, {value}};
}

mxArray* mxCreateString(const char* text)
{
    size_t length = strlen(text);
    return new mxArray{ArrayKind::Char, length ? 1u : 0u, length, text, {}};
}

mxArray* hostCreateCharMatrix(size_t rows, size_t columns, const char* storage)
{
    return new mxArray{ArrayKind::Char, rows, columns, std::string(storage, rows * columns), {}};
}

mxArray* hostCreateCharRow(size_t columns, const char* text)
{
    return new mxArray{ArrayKind::Char, 1, columns, text, {}};
}

mxArray* hostCreateDoubleRow(size_t count, const double* values)
{
    return hostCreateDoubleMatrix(1, count, values);
}

mxArray* hostCreateDoubleMatrix(size_t rows, size_t columns, const double* values)
{
    size_t count = rows * columns;
    return new mxArray{ArrayKind::Double, rows, columns, {}, std::vector<double>(values, values + count)};
}

mxArray* hostCreateLogicalScalar(bool value)
{
    return new mxArray{ArrayKind::Logical, 1, 1, {}, {value ? 1.0 : 0.0}};
}

void hostDestroyArray(mxArray* array) { delete array; }

void hostGetText(const mxArray* array, char* buffer, size_t size)
{
    if (size == 0) return;
    size_t count = array->characters.size() < size - 1 ? array->characters.size() : size - 1;
    memcpy(buffer, array->characters.data(), count);
    buffer[count] = '\0';
}

long hostOutstandingAllocations(void) { return outstandingAllocations.load(); }
}
