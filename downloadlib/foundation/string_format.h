// printf-style formatting into a std::string of exactly the needed size.
#pragma once

#include <cstdarg>
#include <string>

std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same with the arguments already collected; args is left for the caller to end.
std::string StringPrintfV(const char* format, va_list args);
