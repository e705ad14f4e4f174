#include <QelAccessUtility/JsonEscape.h>

namespace qelutil {

namespace {

void appendEscaped(std::string& out, const std::string& text) {
    static const char HEX[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out += HEX[byte >> 4];
                    out += HEX[byte & 0xF];
                } else {
                    out += c;
                }
        }
    }
}

}  // namespace

std::string JsonEscape::escape(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 8);
    appendEscaped(out, text);
    return out;
}

void JsonEscape::appendQuoted(std::string& out, const std::string& text) {
    out += '"';
    appendEscaped(out, text);
    out += '"';
}

}  // namespace qelutil
