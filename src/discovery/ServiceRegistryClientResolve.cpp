#include <QelAccess/ServiceRegistryClient.h>

#include <QelAccess/QelException.h>
#include <QelAccess/QelResponse.h>

#include <QelAccessUtility/Uri.h>
#include <QelAccessUtility/UriParser.h>

#include "discovery/DiscoverySupport.h"
#include "model/SourceLocation.h"

namespace qel {

void ServiceRegistryClient::resolveService(ServiceRegistryService& service, bool force) {
    resolveService(service, force, true);
}

void ServiceRegistryClient::resolveService(ServiceRegistryService& service, bool force, bool avoidRedirect) {
    const std::string name = service.getName().getValueOr("");
    if (service.isResolved() && !force) {
        logger->logDebug() << "service already resolved, name=" << name;
        return;
    }
    logger->logDebug() << "resolving service with name=" << name;
    qelutil::Uri uri;
    if (avoidRedirect && service.getUri() && qelutil::UriParser::parseUri(service.getUri().getValue(), uri)) {
        detail::setLocation(service, uri);
        return;
    }
    resolveFromRegistry(service);
}

void ServiceRegistryClient::resolveFromRegistry(ServiceRegistryService& service) {
    ITpAccess::Shared access;
    {
        std::lock_guard<std::mutex> lock(mtx);
        access = httpAccess;
    }
    const std::string name = service.getName().getValueOr("");
    if (!access) {
        logger->logWarning() << QEL_SOURCE_LOCATION << "not connected to the registry, cannot resolve service="
                             << name;
        return;
    }
    auto response = std::make_shared<QelResponse>();
    try {
        access->resolveService(name, response);
    } catch (const QelException& e) {
        logger->logError() << QEL_SOURCE_LOCATION << e.what();
        return;
    }
    switch (response->getStatusCode()) {
        case qelutil::HttpResponse::OK:
            logger->logDebug() << "got OK from server";
            service.setResolved(true);
            return;
        case qelutil::HttpResponse::TEMPORARY_REDIRECT: {
            logger->logDebug() << "got TEMPORARY_REDIRECT from server";
            if (!response->getLocation()) {
                logger->logWarning() << QEL_SOURCE_LOCATION << " missing location in response";
                return;
            }
            const std::string& location = response->getLocation().getValue();
            logger->logDebug() << "got location=" << location;
            qelutil::Uri uri;
            if (qelutil::UriParser::parseUri(location, uri))
                detail::setLocation(service, uri);
            else
                logger->logError() << QEL_SOURCE_LOCATION << " could not parse host and port from uri=" << location;
            return;
        }
        case qelutil::HttpResponse::MULTIPLE_CHOICES:
            logger->logDebug() << "got MULTIPLE_CHOICES from server";
            resolveFromMultipleChoices(service, response);
            return;
        default:
            logger->logWarning() << QEL_SOURCE_LOCATION
                                 << " got unexpected status code from server=" << response->getStatusCode();
    }
}

void ServiceRegistryClient::resolveFromMultipleChoices(ServiceRegistryService& service,
                                                       const std::shared_ptr<QelResponse>& response) {
    auto choices = response->getMultipleChoices();
    if (!choices || choices->empty()) {
        logger->logWarning() << QEL_SOURCE_LOCATION << "missing multiple choices";
        return;
    }
    logger->logInfo() << "multiple choices count=" << choices->size();
    // From the last to the first: the local choice nearest the end wins,
    // otherwise the last one set, which is the first parsable of the list.
    for (auto choice = choices->rbegin(); choice != choices->rend(); ++choice) {
        if (!choice->hostAddress) continue;
        logger->logInfo() << "checking multiple choice=" << choice->toString();
        qelutil::Uri uri;
        if (!qelutil::UriParser::parseUri(*choice->hostAddress, uri)) {
            logger->logError() << QEL_SOURCE_LOCATION
                               << " could not parse host and port from uri=" << *choice->hostAddress;
            continue;
        }
        detail::setLocation(service, uri);
        if (detail::isLocalHost(uri.host)) return;
    }
}

}  // namespace qel
