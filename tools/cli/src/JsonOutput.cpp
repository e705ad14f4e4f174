#include "JsonOutput.h"

namespace qelcli {

namespace {

void newLine(std::string& out, int depth) {
    out += '\n';
    out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

/// Copies the string starting at `text[i]` (the opening quote) and returns
/// the index after its closing quote.
std::size_t copyString(const std::string& text, std::size_t i, std::string& out) {
    out += text[i++];
    while (i < text.size()) {
        const char c = text[i++];
        out += c;
        if (c == '\\' && i < text.size()) {
            out += text[i++];
        } else if (c == '"') {
            break;
        }
    }
    return i;
}

/// The index after the array starting at `text[i]` when it holds only
/// scalars and is short enough to stay on one line; 0 otherwise.
std::size_t endOfInlineArray(const std::string& text, std::size_t i) {
    constexpr std::size_t MAX_INLINE = 72;
    std::string ignored;
    for (std::size_t j = i + 1; j < text.size() && j - i <= MAX_INLINE;) {
        const char c = text[j];
        if (c == '"') {
            j = copyString(text, j, ignored);
        } else if (c == '{' || c == '[') {
            return 0;
        } else if (c == ']') {
            return j + 1;
        } else {
            ++j;
        }
    }
    return 0;
}

/// Copies the inline array text[i, end) with a blank after each comma.
void copyInlineArray(const std::string& text, std::size_t i, std::size_t end, std::string& out) {
    while (i < end) {
        if (text[i] == '"') {
            i = copyString(text, i, out);
            continue;
        }
        out += text[i];
        if (text[i] == ',') out += ' ';
        ++i;
    }
}

}  // namespace

std::string indentJson(const std::string& compact) {
    std::string out;
    out.reserve(compact.size() * 2);
    int depth = 0;
    std::size_t i = 0;
    while (i < compact.size()) {
        const char c = compact[i];
        if (c == '"') {
            i = copyString(compact, i, out);
            continue;
        }
        if (c == '[') {
            if (const std::size_t end = endOfInlineArray(compact, i)) {
                copyInlineArray(compact, i, end, out);
                i = end;
                continue;
            }
        }
        ++i;
        if (c == '{' || c == '[') {
            out += c;
            const char close = c == '{' ? '}' : ']';
            if (i < compact.size() && compact[i] == close) {
                out += close;
                ++i;
            } else {
                newLine(out, ++depth);
            }
        } else if (c == '}' || c == ']') {
            newLine(out, depth > 0 ? --depth : 0);
            out += c;
        } else if (c == ',') {
            out += c;
            newLine(out, depth);
        } else if (c == ':') {
            out += ": ";
        } else if (c != ' ' && c != '\n' && c != '\t' && c != '\r') {
            out += c;
        }
    }
    return out;
}

std::string renderJson(const qelutil::JsonObject& json, bool compact) {
    return (compact ? json.toString() : indentJson(json.toString())) + "\n";
}

std::string renderJson(const qelutil::JsonArray& json, bool compact) {
    return (compact ? json.toString() : indentJson(json.toString())) + "\n";
}

}  // namespace qelcli
