#include <QelAccess/QelAccessor.h>

#include "model/SourceLocation.h"

#include <QelAccess/QelException.h>
#include <QelAccessUtility/HttpResponse.h>

#include <stdexcept>

namespace qel {

namespace {

using qelutil::HttpResponse;

bool isOk(int status) {
    return status == HttpResponse::OK;
}

bool isCreated(int status) {
    return status == HttpResponse::OK || status == HttpResponse::CREATED || status == HttpResponse::ACCEPTED;
}

bool isDone(int status) {
    return status == HttpResponse::OK || status == HttpResponse::ACCEPTED;
}

}  // namespace

const QelAccessor::Operation QelAccessor::READ_ROOT{"read root failed", "readRoot callbackError",
                                                    "readRoot: error occurred but no error callback given", &isOk};
const QelAccessor::Operation QelAccessor::READ_SERVICE{"read service failed", "readService callbackError",
                                                       "readService: error occurred but no error callback given",
                                                       &isOk};
const QelAccessor::Operation QelAccessor::READ_RESOURCE{"read resource failed", "readResource callbackError",
                                                        "readResource: error occurred but no error callback given",
                                                        &isOk};
const QelAccessor::Operation QelAccessor::FIND_FIRST{"find first failed", "findFirst callbackError",
                                                     "findFirst: error occurred but no error callback given", &isOk};
const QelAccessor::Operation QelAccessor::GET_ELEMENT{"get element failed", "getElement callbackError",
                                                      "getElement: error occurred but no error callback given", &isOk};
const QelAccessor::Operation QelAccessor::CREATE_ELEMENT{"create element failed", "createElement callbackError",
                                                         "createElement: error occurred but no error callback given",
                                                         &isCreated};
const QelAccessor::Operation QelAccessor::UPDATE_ELEMENT{"update element failed", "updateElement callbackError",
                                                         "updateElement: error occurred but no error callback given",
                                                         &isDone};
const QelAccessor::Operation QelAccessor::DELETE_ELEMENT{"delete element failed", "deleteElement callbackError",
                                                         "deleteElement: error occurred but no error callback given",
                                                         &isDone};

QelAccessor::QelAccessor(const std::string& service, qelutil::LoggerFactory::shared loggerFactory,
                         qelutil::ITaskExecutor::Shared qelTaskExecutor,
                         qelutil::ITaskExecutor::Shared httpTaskExecutor, ITpAccess::Shared pAccess)
    : m_pAccess(std::move(pAccess)),
      m_pQelTaskExecutor(std::move(qelTaskExecutor)),
      m_pHttpTaskExecutor(std::move(httpTaskExecutor)) {
    if (!loggerFactory) loggerFactory = qelutil::LoggerFactory::getDefaultLoggerFactory();
    m_logger = std::shared_ptr<qelutil::ILogger>(loggerFactory->createLogger("QelAccessor " + service));
}

void QelAccessor::readRoot(XObjectDescriptor descriptor, QelAccessorReadRootCallback callbackSuccess,
                           QelAccessorErrorCallback callbackError) {
    if (!acceptSuccessCallback(static_cast<bool>(callbackSuccess))) return;
    submit(
        m_pQelTaskExecutor, READ_ROOT,
        [descriptor = std::move(descriptor), callbackSuccess = std::move(callbackSuccess)](
            ITpAccess& access, const std::shared_ptr<QelResponse>& response) -> Delivery {
            auto provider = [](qelutil::JsonObject::Shared json) -> IXObject::Unique {
                return std::make_unique<ServiceRegistryService>(std::move(json));
            };
            auto services = takeAll<ServiceRegistryService>(access.readRoot(provider, descriptor, response));
            return [callbackSuccess, services = std::move(services), response] { callbackSuccess(services, response); };
        },
        std::move(callbackError));
}

void QelAccessor::readRoot(XObjectDescriptor descriptor, QelAccessorReadRootCallback callbackSuccess,
                           qelutil::ITaskExecutor::Shared, QelAccessorErrorCallback callbackError) {
    readRoot(std::move(descriptor), std::move(callbackSuccess), std::move(callbackError));
}

void QelAccessor::readService(QelServiceDescriptor descriptor, QelAccessorReadServiceCallback callbackSuccess,
                              QelAccessorErrorCallback callbackError) {
    if (!acceptSuccessCallback(static_cast<bool>(callbackSuccess))) return;
    submit(
        m_pHttpTaskExecutor, READ_SERVICE,
        [descriptor = std::move(descriptor), callbackSuccess = std::move(callbackSuccess)](
            ITpAccess& access, const std::shared_ptr<QelResponse>& response) -> Delivery {
            const std::string& service = descriptor.getService();
            auto provider = [&service](qelutil::JsonObject::Shared json) -> IXObject::Unique {
                const std::string name = json->getString("name");
                return std::make_unique<QelService>(std::move(json), service, name);
            };
            auto services = takeAll<QelService>(access.readService(provider, descriptor, response));
            return [callbackSuccess, services = std::move(services), response] { callbackSuccess(services, response); };
        },
        std::move(callbackError));
}

void QelAccessor::readService(QelServiceDescriptor descriptor, QelAccessorReadServiceCallback callbackSuccess,
                              qelutil::ITaskExecutor::Shared, QelAccessorErrorCallback callbackError) {
    readService(std::move(descriptor), std::move(callbackSuccess), std::move(callbackError));
}

std::string QelAccessor::getRelativeUri(const XObjectDescriptor& descriptor) {
    return "/" + descriptor.getService() + "/" + descriptor.getResource() + "/" + descriptor.getId().getValue();
}

bool QelAccessor::acceptSuccessCallback(bool present) const {
    if (!present) m_logger->warning(QEL_SOURCE_LOCATION + "missing success callback");
    return present;
}

QelAccessor::Handles QelAccessor::handles(const qelutil::ITaskExecutor::Shared& workExecutor) const {
    return Handles{m_pAccess, m_logger, m_pQelTaskExecutor, workExecutor};
}

void QelAccessor::submit(const qelutil::ITaskExecutor::Shared& executor, const Operation& operation, Exchange exchange,
                         QelAccessorErrorCallback callbackError) const {
    if (!executor || !m_pQelTaskExecutor || !m_pAccess) {
        m_logger->error(QEL_SOURCE_LOCATION + operation.failureMessage +
                        ": accessor has no transport or executor");
        return;
    }
    executor->add(
        [handles = handles(executor), &operation, exchange = std::move(exchange),
         callbackError = std::move(callbackError)] {
            runOperation(handles, operation, exchange, callbackError);
        },
        std::string());
}

void QelAccessor::runOperation(const Handles& handles, const Operation& operation, const Exchange& exchange,
                               const QelAccessorErrorCallback& callbackError) {
    auto response = std::make_shared<QelResponse>();
    Delivery delivery;
    std::shared_ptr<std::exception> failure;
    try {
        delivery = exchange(*handles.access, response);
    } catch (const std::exception& e) {
        failure = std::make_shared<QelException>(operation.failureMessage, "unknown", &e);
    } catch (...) {
        failure = std::make_shared<QelException>(operation.failureMessage, "unknown");
    }

    if (failure) {
        response->setHttpException(failure);
    } else if (operation.isSuccess(response->getStatusCode())) {
        if (delivery) deliver(handles, std::move(delivery));
        return;
    }
    if (callbackError) {
        handles.callbackExecutor->add([callbackError, response] { callbackError(response); }, operation.errorTaskName);
        return;
    }
    handles.logger->warning(QEL_SOURCE_LOCATION + operation.missingErrorCallbackWarning);
}

void QelAccessor::deliver(const Handles& handles, Delivery delivery) {
    // The delivered objects were allocated on the work thread. Freeing them
    // there too, once the callback is done with them, keeps the allocator's
    // per-thread caches warm: hundreds of small blocks freed on the callback
    // thread would otherwise go back to the work thread's arena one lock at
    // a time, and the work thread would refill its caches from there.
    handles.callbackExecutor->add(
        [delivery = std::move(delivery), work = handles.workExecutor]() mutable {
            delivery();
            if (auto executor = work.lock()) executor->add([spent = std::move(delivery)] {}, std::string());
        },
        std::string());
}

void QelAccessor::throwForeignObject() {
    throw std::logic_error("transport returned an object of another type than its provider builds");
}

}  // namespace qel
