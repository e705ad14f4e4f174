#include <QelAccessUtility/URLEncoder.h>
#include <QelAccessUtility/UriParser.h>

#include <Poco/Exception.h>
#include <Poco/URI.h>

namespace qelutil {

bool UriParser::parseUri(const std::string& text, Uri& uri) {
    try {
        Poco::URI parsed(text);
        if (parsed.getScheme().empty() || parsed.getHost().empty()) return false;
        Uri result;
        result.protocol = parsed.getScheme();
        result.host = parsed.getHost();
        result.port = parsed.getPort();  // the scheme's default when none is given
        result.path = parsed.getPathEtc();
        if (result.path.empty()) result.path = "/";
        uri = result;
        return true;
    } catch (const Poco::Exception&) {
        return false;
    }
}

namespace {

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

bool isPathSegmentChar(unsigned char c) {
    static const std::string passing = "!$&'()*+,;=:@%";
    return isUnreserved(c) || passing.find(static_cast<char>(c)) != std::string::npos;
}

template <class Passes>
std::string percentEncode(const std::string& text, Passes passes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (passes(c)) {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return out;
}

std::string printableUnsafe() {
    std::string unsafe;
    for (int c = 0x20; c < 0x7F; ++c)
        if (!isUnreserved(static_cast<unsigned char>(c))) unsafe += static_cast<char>(c);
    return unsafe;
}

}  // namespace

const std::string URLEncoder::unsafeString = printableUnsafe();

std::string URLEncoder::encode(const std::string& text) { return percentEncode(text, isUnreserved); }

std::string URLEncoder::encodePathSegment(const std::string& segment) {
    return percentEncode(segment, isPathSegmentChar);
}

}  // namespace qelutil
