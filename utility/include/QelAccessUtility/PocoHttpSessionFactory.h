#pragma once

#include <QelAccessUtility/IHttpSessionFactory.h>

#include <chrono>
#include <cstddef>
#include <memory>

namespace qelutil {

/// Sessions over Poco::Net::HTTPClientSession (plain HTTP/1.1, base URIs
/// with the "http" scheme). Idle keep-alive connections are pooled per origin
/// (scheme, host and port; at most `maxIdlePerOrigin` each) and reused by
/// later sessions of this factory; a connection returns to the pool only
/// after its reply body was read completely and the server did not ask to
/// close it. A request that fails on a pooled connection before any reply
/// byte arrived is retried once on a fresh connection if it is a GET or a
/// DELETE, or if none of it was written. Thread-safe: sessions
/// of one factory may be used from several threads at once.
///
/// A session uses the options in force when it was created; the setters
/// affect sessions created afterwards. Time-outs below one millisecond are
/// taken as one millisecond. Control characters are removed from
/// `userAgent`; an empty one sends no User-Agent header.
class PocoHttpSessionFactory : public IHttpSessionFactory {
public:
    struct Options {
        std::chrono::milliseconds connectTimeout{5000};
        std::chrono::milliseconds receiveTimeout{30000};
        /// The whole exchange, from sending the request to the last reply
        /// byte, so that a server dripping its reply cannot hold a request.
        std::chrono::milliseconds exchangeTimeout{120000};
        bool keepAlive = true;
        std::size_t maxIdlePerOrigin = 8;
        /// Reply bodies larger than this fail the request (HttpException).
        std::size_t maxBodySize = 64 * 1024 * 1024;
        std::string userAgent = "QelAccess";
    };

    PocoHttpSessionFactory();
    explicit PocoHttpSessionFactory(const Options& options);
    ~PocoHttpSessionFactory() override;

    IHttpSession::Shared createSession(const std::string& baseUri) override;

    void setConnectTimeout(std::chrono::milliseconds timeout);
    void setReceiveTimeout(std::chrono::milliseconds timeout);
    void setKeepAlive(bool keepAlive);
    Options getOptions() const;
    /// Idle pooled connections for all origins (for diagnostics and tests).
    std::size_t getIdleConnectionCount() const;

    class Pool;

private:
    std::shared_ptr<Pool> m_pool;
};

}  // namespace qelutil
