#ifndef QELSETUP_HOST_HOST_ARRAY_H
#define QELSETUP_HOST_HOST_ARRAY_H

#include <cstddef>
#include <string>
#include <vector>

enum class ArrayKind { Char, Double, Logical };

// The embedded host's array: characters and numbers are stored column by column.
struct mxArray_tag {
    ArrayKind kind;
    size_t rows;
    size_t columns;
    std::string characters;
    std::vector<double> numbers;
};

#endif
