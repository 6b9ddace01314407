// Numbers in the texts of errors.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace varnel_core {

// printf's %g: six significant digits, an exponent for large and small
// magnitudes ("1e+300", "0.5", "2", "nan", "inf").
inline std::string format_number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// `text` in double quotes, a double quote or backslash preceded by a
// backslash, newline, tab and carriage return as \n, \t, \r and any other
// control character as \u{hex}.
std::string quoted(std::string_view text);

}  // namespace varnel_core
