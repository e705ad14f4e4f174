#pragma once

#include "CliOptions.h"
#include "Completion.h"
#include "RecordingSessionFactory.h"

#include <QelAccess/HttpAccessFactory.h>
#include <QelAccess/ITpAccess.h>
#include <QelAccess/QelAccessor.h>
#include <QelAccess/QelResponse.h>
#include <QelAccess/ServiceRegistryService.h>
#include <QelAccessUtility/ITaskExecutor.h>
#include <QelAccessUtility/LoggerFactory.h>
#include <QelAccessUtility/SerialTaskExecutor.h>
#include <QelAccessUtility/ThreadPoolTaskExecutor.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qelcli {

class Discovery;

/// Where the elements of a service are: a server origin and a base path.
struct Endpoint {
    std::string host;
    uint16_t port = 0;
    /// "http://" host ":" port, without a trailing "/".
    std::string origin;
    /// Starts and ends with "/".
    std::string basePath;

    std::string uri() const { return origin + basePath; }
};

/// The endpoint of an absolute http URI; false when it is not one.
bool endpointFromUri(const std::string& text, Endpoint& endpoint);

/// How the registry answered for one service, and where the service runs.
struct Resolution {
    std::string service;
    int status = 0;
    /// "entry" (200), "redirect" (307) or "choice" (300).
    std::string answer;
    Endpoint endpoint;
    std::string location;
    std::shared_ptr<std::vector<qel::QelResponse::MultipleChoice>> choices;
    /// Index of the choice taken, -1 for other answers.
    int chosen = -1;
};

/// The library objects one run of the program needs: logging, the HTTP
/// session factory, the transport factory and the two executors of the
/// accessors; and the way to a service, static (--base) or through the
/// service registry (--registry).
class QelClient {
public:
    /// Throws a usage CliError when the options name no usable server.
    explicit QelClient(const Options& options);
    ~QelClient();
    QelClient(const QelClient&) = delete;
    QelClient& operator=(const QelClient&) = delete;

    bool usesRegistry() const { return m_usesRegistry; }
    /// The registry's endpoint, or the server's in static mode.
    const Endpoint& rootEndpoint() const { return m_root; }

    /// Where `service` runs: the static endpoint, or where the service
    /// registry facade set the service up (waiting until it is available).
    Endpoint locate(const std::string& service);
    /// The discovery through the registry (usage error without --registry).
    Discovery& discovery();
    /// Asks the registry where `service` runs (usage error without --registry).
    Resolution resolve(const std::string& service);
    /// The services listed at the root endpoint, read through an accessor.
    std::vector<std::shared_ptr<qel::ServiceRegistryService>> readRoot();

    qel::ITpAccess::Shared transport(const std::string& service, const Endpoint& endpoint);
    qel::QelAccessor accessor(const std::string& service, qel::ITpAccess::Shared transport);

    /// Waits for an accessor call; raises the failure its error callback got.
    template <typename T>
    T await(const Completion<T>& completion) const {
        auto outcome = completion.wait(answerDeadline());
        if (!outcome.succeeded) raiseFailure(*outcome.response);
        return std::move(outcome.value);
    }

    /// Throws the CliError for a response that the operation did not accept:
    /// a transport failure when it carries an exception, else the server's
    /// status and the message of the recorded reply.
    [[noreturn]] void raiseFailure(const qel::QelResponse& response) const;
    [[noreturn]] void raiseTransportFailure(const std::exception& failure) const;

    RecordingSessionFactory& replies() { return *m_replies; }
    const qelutil::LoggerFactory::shared& loggerFactory() const { return m_loggerFactory; }

private:
    std::chrono::milliseconds answerDeadline() const;
    Endpoint endpointFromListing(const std::string& service);
    static int pickChoice(const std::vector<qel::QelResponse::MultipleChoice>& choices, Endpoint& endpoint);

    int m_timeoutSeconds;
    bool m_usesRegistry;
    Endpoint m_root;
    qelutil::LoggerFactory::shared m_loggerFactory;
    std::shared_ptr<RecordingSessionFactory> m_replies;
    qel::HttpAccessFactory m_transportFactory;
    std::shared_ptr<qelutil::SerialTaskExecutor> m_callbackExecutor;
    std::shared_ptr<qelutil::ThreadPoolTaskExecutor> m_httpExecutor;
    /// Made on first use; goes before the factory and executors it uses.
    std::unique_ptr<Discovery> m_discovery;
};

}  // namespace qelcli
