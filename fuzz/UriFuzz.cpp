// The URI parser, the base URI of an HTTP session, and percent-encoding.
#include "FuzzSupport.h"

#include <QelAccessUtility/HttpException.h>
#include <QelAccessUtility/PocoHttpSessionFactory.h>
#include <QelAccessUtility/URLEncoder.h>
#include <QelAccessUtility/UriParser.h>

#include <cctype>
#include <cstdlib>

namespace {

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    qelutil::Uri uri;
    if (qelutil::UriParser::parseUri(text, uri) && (uri.host.empty() || uri.path.empty())) std::abort();

    const std::string encoded = qelutil::URLEncoder::encode(text);
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const auto c = static_cast<unsigned char>(encoded[i]);
        if (c != '%') {
            if (!isUnreserved(c)) std::abort();
        } else if (i + 2 >= encoded.size() || !std::isxdigit(static_cast<unsigned char>(encoded[i + 1])) ||
                   !std::isxdigit(static_cast<unsigned char>(encoded[i + 2]))) {
            std::abort();
        } else {
            i += 2;
        }
    }
    for (unsigned char c : qelutil::URLEncoder::encodePathSegment(text))
        if (c <= 0x20 || c >= 0x7F || c == '/' || c == '?' || c == '#') std::abort();

    static qelutil::PocoHttpSessionFactory factory;
    try {
        factory.createSession(text);
    } catch (const qelutil::HttpException&) {
        // An unusable base URI is refused with its reason.
    }
    return 0;
}
