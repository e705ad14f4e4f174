#pragma once

#include <QelAccess/ITpAccess.h>
#include <QelAccess/ITpAccessFactory.h>
#include <QelAccess/IWebsocketManager.h>
#include <QelAccess/IWebsocketManagerFactory.h>
#include <QelAccess/QelResponse.h>
#include <QelAccess/Subscription.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qeltest {

/// A WebSocket manager that records what it is asked and lets the test play
/// the connection: connect and disconnect notices and root data are called
/// by the test, on its own thread.
class FakeWebsocketManager : public qel::IWebsocketManager,
                             public std::enable_shared_from_this<FakeWebsocketManager> {
public:
    struct Notices {
        std::function<void()> connected;
        std::function<void()> disconnected;
    };
    struct RootSubscribe {
        std::shared_ptr<const qel::XObjectDescriptor> descriptor;
        ArrayCallback callback;
    };

    void connectToWebsocketAndThen(std::function<void()> connected, std::function<void()> disconnected) override {
        std::lock_guard<std::mutex> lock(mtx);
        notices.push_back({std::move(connected), std::move(disconnected)});
    }
    std::shared_ptr<qel::Subscription> subscribeRoot(std::shared_ptr<const qel::XObjectDescriptor> descriptor,
                                                     ArrayCallback callback) override {
        std::lock_guard<std::mutex> lock(mtx);
        roots.push_back({descriptor, std::move(callback)});
        return std::make_shared<qel::Subscription>(weak_from_this(), descriptor, qel::Subscription::ROOT,
                                                   "root" + std::to_string(roots.size()), true);
    }
    std::shared_ptr<qel::Subscription> subscribeRootWithUpdateLimit(
        std::shared_ptr<const qel::XObjectDescriptor> descriptor, ArrayCallback callback,
        std::chrono::milliseconds) override {
        return subscribeRoot(std::move(descriptor), std::move(callback));
    }
    std::shared_ptr<qel::Subscription> subscribeElement(std::shared_ptr<const qel::XObjectDescriptor>,
                                                        ElementCallback) override {
        return nullptr;
    }
    std::shared_ptr<qel::Subscription> subscribeElementWithInterval(std::shared_ptr<const qel::XObjectDescriptor>,
                                                                    ElementCallback,
                                                                    std::chrono::milliseconds) override {
        return nullptr;
    }
    std::shared_ptr<qel::Subscription> subscribeElementWithUpdateLimit(std::shared_ptr<const qel::XObjectDescriptor>,
                                                                       ElementCallback,
                                                                       std::chrono::milliseconds) override {
        return nullptr;
    }
    std::shared_ptr<qel::Subscription> subscribeResource(std::shared_ptr<const qel::QelResourceDescriptor>,
                                                         ArrayCallback) override {
        return nullptr;
    }
    void unsubscribe(const std::string&, bool) override {}
    void disconnect() override {}
    CONNECTION_STATE getConnectionState() override { return DISCONNECTED; }
    void setConnectBackoffGenerator(std::shared_ptr<qelutil::INumberSequence>) override {}
    bool sendPing(const char*, std::size_t) override { return true; }

    std::size_t noticeCount() {
        std::lock_guard<std::mutex> lock(mtx);
        return notices.size();
    }
    Notices notice(std::size_t index) {
        std::lock_guard<std::mutex> lock(mtx);
        return notices.at(index);
    }
    RootSubscribe root(std::size_t index) {
        std::lock_guard<std::mutex> lock(mtx);
        return roots.at(index);
    }
    std::size_t rootCount() {
        std::lock_guard<std::mutex> lock(mtx);
        return roots.size();
    }

private:
    std::mutex mtx;
    std::vector<Notices> notices;
    std::vector<RootSubscribe> roots;
};

/// Hands out one fake manager per server base URI and counts the requests.
class FakeWebsocketManagerFactory : public qel::IWebsocketManagerFactory {
public:
    qel::IWebsocketManager::Shared createWebsocketManager(const qel::IConfigManager::ServiceConfiguration& config,
                                                          std::shared_ptr<qelutil::ITaskExecutor>,
                                                          std::shared_ptr<qelutil::LoggerFactory>) override {
        return manager(config.serverBaseUri);
    }
    void setConnectionBackoffPicker(BackoffPicker) override {}
    void destroyWebsocketManager(const std::string&) override {}

    std::shared_ptr<FakeWebsocketManager> manager(const std::string& origin) {
        std::lock_guard<std::mutex> lock(mtx);
        auto& slot = managers[origin];
        if (!slot) slot = std::make_shared<FakeWebsocketManager>();
        return slot;
    }

private:
    std::mutex mtx;
    std::map<std::string, std::shared_ptr<FakeWebsocketManager>> managers;
};

/// A transport whose resolution and root read answer as the test says;
/// every other operation fails the test's expectations by throwing.
class FakeTpAccess : public qel::ITpAccess {
public:
    std::function<void(const std::string&, std::shared_ptr<qel::QelResponse>)> onResolve;
    int resolveCalls = 0;

    void resolveService(const std::string& name, std::shared_ptr<qel::QelResponse> response) override {
        ++resolveCalls;
        if (onResolve) onResolve(name, response);
    }
    std::vector<qel::IXObject::Unique> readRoot(XObjectProvider, const qel::XObjectDescriptor&,
                                                std::shared_ptr<qel::QelResponse>) override {
        throw std::logic_error("readRoot not scripted");
    }
    qel::IXObject::Unique findFirst(XObjectProvider, const qel::XObjectDescriptor&,
                                    std::shared_ptr<qel::QelResponse>) override {
        throw std::logic_error("not scripted");
    }
    qel::IXObject::Unique createElement(const qel::XObjectDescriptor&, UriObjectProvider,
                                        std::shared_ptr<qel::QelResponse>) override {
        throw std::logic_error("not scripted");
    }
    qel::IXObject::Unique getElement(XObjectProvider, const qel::XObjectDescriptor&,
                                     std::shared_ptr<qel::QelResponse>) override {
        throw std::logic_error("not scripted");
    }
    void deleteElement(const qel::XObjectDescriptor&, std::shared_ptr<qel::QelResponse>) override {
        throw std::logic_error("not scripted");
    }
    void updateElement(const qel::XObjectDescriptor&, std::shared_ptr<qel::QelResponse>) override {
        throw std::logic_error("not scripted");
    }
    std::vector<qel::IXObject::Unique> readResource(XObjectProvider, const qel::QelResourceDescriptor&,
                                                    std::shared_ptr<qel::QelResponse>) override {
        throw std::logic_error("not scripted");
    }
    std::vector<qel::IXObject::Unique> readService(XObjectProvider, const qel::QelServiceDescriptor&,
                                                   std::shared_ptr<qel::QelResponse>) override {
        throw std::logic_error("not scripted");
    }
};

/// Returns the one fake transport for every service and records the names.
class FakeTpAccessFactory : public qel::ITpAccessFactory {
public:
    std::shared_ptr<FakeTpAccess> access = std::make_shared<FakeTpAccess>();
    std::vector<std::string> names;

    qel::ITpAccess::Shared createTpAccess(const std::string& serviceName, std::shared_ptr<const qel::IConfigManager>,
                                          qelutil::LoggerFactory::shared) override {
        names.push_back(serviceName);
        return access;
    }
};

}  // namespace qeltest
