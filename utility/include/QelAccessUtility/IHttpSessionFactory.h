#pragma once

#include <QelAccessUtility/IHttpSession.h>

#include <memory>
#include <string>

namespace qelutil {

class IHttpSessionFactory {
public:
    using Shared = std::shared_ptr<IHttpSessionFactory>;
    virtual ~IHttpSessionFactory() = default;

    /// A session bound to `baseUri` (scheme, host, port and an optional path
    /// prefix, e.g. "http://127.0.0.1:8080"). Throws HttpException when the
    /// base URI cannot be parsed.
    virtual IHttpSession::Shared createSession(const std::string& baseUri) = 0;
};

}  // namespace qelutil
