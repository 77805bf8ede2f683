#include "foundation/string_format.h"

#include <cstdio>
#include <vector>

std::string StringPrintfV(const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) {
        return {};
    }
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    va_list copy;
    va_copy(copy, args);
    std::vsnprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    return std::string(buffer.data(), static_cast<size_t>(length));
}

std::string StringPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = StringPrintfV(format, args);
    va_end(args);
    return text;
}
