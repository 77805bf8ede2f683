// A strict check that a text is one JSON value (RFC 8259), for testing machine-readable output.
#pragma once

#include <string_view>

bool IsJsonObject(std::string_view text);
