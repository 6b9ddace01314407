#include "base/format.hpp"

namespace varnel_core {

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    auto hex = [&out](unsigned code) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "\\u{%x}", code);
        out += buf;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                hex(c);
            } else if (c == 0xc2 && i + 1 < text.size() &&
                       static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                       static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
                // U+0080..U+009F, the second block of control characters
                hex(static_cast<unsigned char>(text[i + 1]));
                ++i;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}

}  // namespace varnel_core
