#pragma once

#include <QelAccessUtility/HttpResponse.h>

#include <memory>
#include <ostream>
#include <string>

namespace qelutil {

/// HTTP requests against one server base URI. Each call sends one request
/// for `path` (relative to the base URI, query included; it must start with
/// "/"), writes the complete reply body to `out` and fills `response`.
/// Redirects are never followed. Transport failures throw HttpException; a
/// path holding a control character or a space is refused the same way,
/// before anything is sent.
class IHttpSession {
public:
    using Shared = std::shared_ptr<IHttpSession>;
    virtual ~IHttpSession() = default;

    virtual void get(const std::string& path, std::ostream& out, HttpResponse& response) = 0;
    /// Sends `body` with Content-Type application/json.
    virtual void post(const std::string& path, const std::string& body, std::ostream& out,
                      HttpResponse& response) = 0;
    /// Sends DELETE.
    virtual void remove(const std::string& path, std::ostream& out, HttpResponse& response) = 0;
};

}  // namespace qelutil
