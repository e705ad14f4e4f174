#pragma once

#include <QelAccess/ITpAccess.h>
#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/QelResponse.h>
#include <QelAccess/QelService.h>
#include <QelAccess/QelServiceDescriptor.h>
#include <QelAccess/ServiceRegistryService.h>
#include <QelAccess/XObject.h>
#include <QelAccess/XObjectDescriptor.h>
#include <QelAccessUtility/ILogger.h>
#include <QelAccessUtility/ITaskExecutor.h>
#include <QelAccessUtility/LoggerFactory.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qel {

using QelAccessorReadRootCallback =
    std::function<void(std::vector<std::shared_ptr<ServiceRegistryService>>, std::shared_ptr<QelResponse>)>;
using QelAccessorReadServiceCallback =
    std::function<void(std::vector<std::shared_ptr<QelService>>, std::shared_ptr<QelResponse>)>;
template <typename T>
using QelAccessorReadResourceCallback =
    std::function<void(const std::vector<std::shared_ptr<const T>>&, std::shared_ptr<const QelResponse>)>;
using QelAccessorErrorCallback = std::function<void(std::shared_ptr<const QelResponse>)>;

/// Success of findFirst and getElement: the element, null when the reply
/// held none.
template <typename T>
using QelAccessorElementCallback = std::function<void(std::shared_ptr<const T>, std::shared_ptr<const QelResponse>)>;
/// Success of createElement: the new element, addressed by the Location of
/// the reply (id and uri set, no JSON).
template <typename D>
using QelAccessorCreateCallback =
    std::function<void(std::shared_ptr<const XObject<D>>, std::shared_ptr<const QelResponse>)>;
/// Success of updateElement and deleteElement.
using QelAccessorResponseCallback = std::function<void(std::shared_ptr<const QelResponse>)>;

/// The asynchronous interface of one service. Every call returns at once:
/// the exchange runs as a task on an executor (the root read on the callback
/// executor, everything else on the HTTP executor), and its result reaches
/// exactly one of the caller's callbacks in a task of its own on the callback
/// executor. The success callback runs when the status is one the operation
/// treats as success (200 for reads, findFirst and getElement; 200, 201 or
/// 202 for createElement; 200 or 202 for updateElement and deleteElement);
/// otherwise the error callback gets the response record, with a QelException
/// in its httpException when the exchange failed.
///
/// Work tasks hold copies of the transport, logger and callback executor,
/// never the accessor, so an accessor may be dropped while reads are in
/// flight. Copies of an accessor share its handles.
class QelAccessor {
    template <typename T>
    struct NonDeduced {
        using type = T;
    };

public:
    QelAccessor(const std::string& service, qelutil::LoggerFactory::shared loggerFactory,
                qelutil::ITaskExecutor::Shared qelTaskExecutor, qelutil::ITaskExecutor::Shared httpTaskExecutor,
                ITpAccess::Shared pAccess);

    /// Reads the services listed at the server's base path.
    void readRoot(XObjectDescriptor descriptor, QelAccessorReadRootCallback callbackSuccess,
                  QelAccessorErrorCallback callbackError);
    /// As above; `executor` is not used.
    void readRoot(XObjectDescriptor descriptor, QelAccessorReadRootCallback callbackSuccess,
                  qelutil::ITaskExecutor::Shared executor, QelAccessorErrorCallback callbackError);

    /// Reads the resources of a service.
    void readService(QelServiceDescriptor descriptor, QelAccessorReadServiceCallback callbackSuccess,
                     QelAccessorErrorCallback callbackError);
    /// As above; `executor` is not used.
    void readService(QelServiceDescriptor descriptor, QelAccessorReadServiceCallback callbackSuccess,
                     qelutil::ITaskExecutor::Shared executor, QelAccessorErrorCallback callbackError);

    /// Reads the elements of a resource, each built as T(json). Only the
    /// service and resource names of the descriptor travel; its query
    /// options and filter are not sent.
    template <typename T>
    void readResource(typename T::Desctype descriptor, QelAccessorReadResourceCallback<T> callbackSuccess,
                      QelAccessorErrorCallback callbackError);
    /// As above; `executor` is not used.
    template <typename T>
    void readResource(typename T::Desctype descriptor, QelAccessorReadResourceCallback<T> callbackSuccess,
                      qelutil::ITaskExecutor::Shared executor, QelAccessorErrorCallback callbackError) {
        (void)executor;
        readResource<T>(std::move(descriptor), std::move(callbackSuccess), std::move(callbackError));
    }

    /// The first element of the resource matching the descriptor's filter
    /// and query options, built as T(json).
    template <typename T>
    void findFirst(typename T::Desctype descriptor, QelAccessorElementCallback<T> callbackSuccess,
                   QelAccessorErrorCallback callbackError);
    /// The element with the descriptor's id, built as T(json).
    template <typename T>
    void getElement(typename T::Desctype descriptor, QelAccessorElementCallback<T> callbackSuccess,
                    QelAccessorErrorCallback callbackError);
    /// Creates an element from the descriptor's body (its getAsQELBody).
    /// The element operations that change the service run also without a
    /// success callback; their success is then not reported.
    template <typename D>
    void createElement(D descriptor, typename NonDeduced<QelAccessorCreateCallback<D>>::type callbackSuccess,
                       QelAccessorErrorCallback callbackError);
    /// Updates the element with the descriptor's id from its body.
    template <typename D>
    void updateElement(D descriptor, QelAccessorResponseCallback callbackSuccess,
                       QelAccessorErrorCallback callbackError);
    /// Deletes the element with the descriptor's id.
    template <typename D>
    void deleteElement(D descriptor, QelAccessorResponseCallback callbackSuccess,
                       QelAccessorErrorCallback callbackError);

    /// "/" service "/" resource "/" id; throws std::runtime_error
    /// "getValue called on uninitialized Optional" when the id is unset.
    static std::string getRelativeUri(const XObjectDescriptor& descriptor);

private:
    /// What a work task needs; copied into it instead of the accessor.
    struct Handles {
        ITpAccess::Shared access;
        std::shared_ptr<qelutil::ILogger> logger;
        qelutil::ITaskExecutor::Shared callbackExecutor;
        /// Runs the exchange, and later destroys what it delivered. Weak: a
        /// queued task must not keep its own executor alive.
        std::weak_ptr<qelutil::ITaskExecutor> workExecutor;
    };

    /// Fixed texts and success statuses of one kind of operation.
    struct Operation {
        const char* failureMessage;
        const char* errorTaskName;
        const char* missingErrorCallbackWarning;
        bool (*isSuccess)(int status);
    };

    /// Calls the success callback with what the exchange produced.
    using Delivery = std::function<void()>;
    /// Performs the transport call, filling the response, and returns the
    /// delivery of its result (empty when there is nobody to deliver to).
    /// Runs inside the work task.
    using Exchange = std::function<Delivery(ITpAccess&, const std::shared_ptr<QelResponse>&)>;

    static const Operation READ_ROOT;
    static const Operation READ_SERVICE;
    static const Operation READ_RESOURCE;
    static const Operation FIND_FIRST;
    static const Operation GET_ELEMENT;
    static const Operation CREATE_ELEMENT;
    static const Operation UPDATE_ELEMENT;
    static const Operation DELETE_ELEMENT;

    /// False, with a warning, when the success callback is missing.
    bool acceptSuccessCallback(bool present) const;
    Handles handles(const qelutil::ITaskExecutor::Shared& workExecutor) const;
    /// Queues a work task that runs `exchange` and delivers its outcome.
    void submit(const qelutil::ITaskExecutor::Shared& executor, const Operation& operation, Exchange exchange,
                QelAccessorErrorCallback callbackError) const;
    /// Queues the delivery on the callback executor.
    static void deliver(const Handles& handles, Delivery delivery);
    static void runOperation(const Handles& handles, const Operation& operation, const Exchange& exchange,
                             const QelAccessorErrorCallback& callbackError);

    /// Takes ownership of transport objects as the caller's type; an object
    /// of another type fails the operation.
    template <typename T>
    static std::shared_ptr<T> take(IXObject::Unique object);
    template <typename T>
    static std::vector<std::shared_ptr<T>> takeAll(std::vector<IXObject::Unique> objects);
    [[noreturn]] static void throwForeignObject();

    template <typename T>
    static IXObject::Unique createObject(qelutil::JsonObject::Shared json) {
        return std::make_unique<T>(std::move(json));
    }

    ITpAccess::Shared m_pAccess;
    std::shared_ptr<qelutil::ILogger> m_logger;
    qelutil::ITaskExecutor::Shared m_pQelTaskExecutor;
    qelutil::ITaskExecutor::Shared m_pHttpTaskExecutor;
};

// ---- template members ------------------------------------------------------

template <typename T>
std::shared_ptr<T> QelAccessor::take(IXObject::Unique object) {
    if (!object) return nullptr;
    T* typed = dynamic_cast<T*>(object.get());
    if (!typed) throwForeignObject();
    object.release();
    return std::shared_ptr<T>(typed);
}

template <typename T>
std::vector<std::shared_ptr<T>> QelAccessor::takeAll(std::vector<IXObject::Unique> objects) {
    std::vector<std::shared_ptr<T>> result;
    result.reserve(objects.size());
    for (auto& object : objects) result.push_back(take<T>(std::move(object)));
    return result;
}

template <typename T>
void QelAccessor::readResource(typename T::Desctype descriptor, QelAccessorReadResourceCallback<T> callbackSuccess,
                               QelAccessorErrorCallback callbackError) {
    if (!acceptSuccessCallback(static_cast<bool>(callbackSuccess))) return;
    QelResourceDescriptor resource(descriptor.getService(), descriptor.getResource());
    submit(
        m_pHttpTaskExecutor, READ_RESOURCE,
        [resource = std::move(resource), callbackSuccess = std::move(callbackSuccess)](
            ITpAccess& access, const std::shared_ptr<QelResponse>& response) -> Delivery {
            auto objects = takeAll<const T>(access.readResource(&createObject<T>, resource, response));
            return [callbackSuccess, objects = std::move(objects), response] { callbackSuccess(objects, response); };
        },
        std::move(callbackError));
}

template <typename T>
void QelAccessor::findFirst(typename T::Desctype descriptor, QelAccessorElementCallback<T> callbackSuccess,
                            QelAccessorErrorCallback callbackError) {
    if (!acceptSuccessCallback(static_cast<bool>(callbackSuccess))) return;
    submit(
        m_pHttpTaskExecutor, FIND_FIRST,
        [descriptor = std::move(descriptor), callbackSuccess = std::move(callbackSuccess)](
            ITpAccess& access, const std::shared_ptr<QelResponse>& response) -> Delivery {
            auto object = take<const T>(access.findFirst(&createObject<T>, descriptor, response));
            return [callbackSuccess, object = std::move(object), response] { callbackSuccess(object, response); };
        },
        std::move(callbackError));
}

template <typename T>
void QelAccessor::getElement(typename T::Desctype descriptor, QelAccessorElementCallback<T> callbackSuccess,
                             QelAccessorErrorCallback callbackError) {
    if (!acceptSuccessCallback(static_cast<bool>(callbackSuccess))) return;
    submit(
        m_pHttpTaskExecutor, GET_ELEMENT,
        [descriptor = std::move(descriptor), callbackSuccess = std::move(callbackSuccess)](
            ITpAccess& access, const std::shared_ptr<QelResponse>& response) -> Delivery {
            auto object = take<const T>(access.getElement(&createObject<T>, descriptor, response));
            return [callbackSuccess, object = std::move(object), response] { callbackSuccess(object, response); };
        },
        std::move(callbackError));
}

template <typename D>
void QelAccessor::createElement(D descriptor, typename NonDeduced<QelAccessorCreateCallback<D>>::type callbackSuccess,
                                QelAccessorErrorCallback callbackError) {
    submit(
        m_pHttpTaskExecutor, CREATE_ELEMENT,
        [descriptor = std::move(descriptor), callbackSuccess = std::move(callbackSuccess)](
            ITpAccess& access, const std::shared_ptr<QelResponse>& response) -> Delivery {
            auto provider = [&descriptor](const std::string& uri) -> IXObject::Unique {
                return XObject<D>(descriptor).copyWithIdFromUri(uri);
            };
            auto object = take<const XObject<D>>(access.createElement(descriptor, provider, response));
            if (!callbackSuccess) return nullptr;
            return [callbackSuccess, object = std::move(object), response] { callbackSuccess(object, response); };
        },
        std::move(callbackError));
}

template <typename D>
void QelAccessor::updateElement(D descriptor, QelAccessorResponseCallback callbackSuccess,
                                QelAccessorErrorCallback callbackError) {
    submit(
        m_pHttpTaskExecutor, UPDATE_ELEMENT,
        [descriptor = std::move(descriptor), callbackSuccess = std::move(callbackSuccess)](
            ITpAccess& access, const std::shared_ptr<QelResponse>& response) -> Delivery {
            access.updateElement(descriptor, response);
            if (!callbackSuccess) return nullptr;
            return [callbackSuccess, response] { callbackSuccess(response); };
        },
        std::move(callbackError));
}

template <typename D>
void QelAccessor::deleteElement(D descriptor, QelAccessorResponseCallback callbackSuccess,
                                QelAccessorErrorCallback callbackError) {
    submit(
        m_pHttpTaskExecutor, DELETE_ELEMENT,
        [descriptor = std::move(descriptor), callbackSuccess = std::move(callbackSuccess)](
            ITpAccess& access, const std::shared_ptr<QelResponse>& response) -> Delivery {
            access.deleteElement(descriptor, response);
            if (!callbackSuccess) return nullptr;
            return [callbackSuccess, response] { callbackSuccess(response); };
        },
        std::move(callbackError));
}

}  // namespace qel
