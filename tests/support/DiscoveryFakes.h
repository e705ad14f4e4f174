#pragma once

// Fakes of the connection and transport layers for the discovery unit tests: the test plays the connections
// (their notices and root data) on its own thread and scripts the registry's answers.

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
#include <vector>

namespace qeltest {

/// Records the notices and root subscriptions it is asked for; every other subscription is refused.
class FakeWebsocketManager : public qel::IWebsocketManager, public std::enable_shared_from_this<FakeWebsocketManager> {
public:
    using Descriptor = std::shared_ptr<const qel::XObjectDescriptor>;
    using SubscriptionPtr = std::shared_ptr<qel::Subscription>;
    struct Notices {
        std::function<void()> connected, disconnected;
    };
    struct RootSubscribe {
        Descriptor descriptor;
        ArrayCallback callback;
    };

    void connectToWebsocketAndThen(std::function<void()> connected, std::function<void()> disconnected) override {
        std::lock_guard<std::mutex> lock(mtx);
        notices.push_back({std::move(connected), std::move(disconnected)});
    }
    SubscriptionPtr subscribeRoot(Descriptor descriptor, ArrayCallback callback) override {
        std::lock_guard<std::mutex> lock(mtx);
        roots.push_back({descriptor, std::move(callback)});
        return std::make_shared<qel::Subscription>(weak_from_this(), descriptor, qel::Subscription::ROOT,
                                                   "root" + std::to_string(roots.size()), true);
    }
    SubscriptionPtr subscribeRootWithUpdateLimit(Descriptor d, ArrayCallback c, std::chrono::milliseconds) override {
        return subscribeRoot(std::move(d), std::move(c));
    }
    SubscriptionPtr subscribeElement(Descriptor, ElementCallback) override { return nullptr; }
    SubscriptionPtr subscribeElementWithInterval(Descriptor, ElementCallback, std::chrono::milliseconds) override {
        return nullptr;
    }
    SubscriptionPtr subscribeElementWithUpdateLimit(Descriptor, ElementCallback, std::chrono::milliseconds) override {
        return nullptr;
    }
    SubscriptionPtr subscribeResource(std::shared_ptr<const qel::QelResourceDescriptor>, ArrayCallback) override {
        return nullptr;
    }
    void unsubscribe(const std::string&, bool) override {}
    void disconnect() override {}
    CONNECTION_STATE getConnectionState() override { return DISCONNECTED; }
    void setConnectBackoffGenerator(std::shared_ptr<qelutil::INumberSequence>) override {}
    bool sendPing(const char*, std::size_t) override { return true; }

    template <class F>
    auto locked(F f) -> decltype(f()) {
        std::lock_guard<std::mutex> lock(mtx);
        return f();
    }

    std::size_t noticeCount() { return locked([&] { return notices.size(); }); }
    Notices notice(std::size_t index) { return locked([&] { return notices.at(index); }); }
    /// The notices of the latest connection request.
    Notices last() { return locked([&] { return notices.back(); }); }
    std::size_t rootCount() { return locked([&] { return roots.size(); }); }
    RootSubscribe root(std::size_t index) { return locked([&] { return roots.at(index); }); }

private:
    std::mutex mtx;
    std::vector<Notices> notices;
    std::vector<RootSubscribe> roots;
};

/// Hands out one fake manager per server base URI.
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

/// A transport whose resolution answers as the test says; every other operation throws.
class FakeTpAccess : public qel::ITpAccess {
public:
    using Response = std::shared_ptr<qel::QelResponse>;
    using Objects = std::vector<qel::IXObject::Unique>;
    std::function<void(const std::string&, Response)> onResolve;
    int resolveCalls = 0;

    void resolveService(const std::string& name, Response response) override {
        ++resolveCalls;
        if (onResolve) onResolve(name, response);
    }
    Objects readRoot(XObjectProvider, const qel::XObjectDescriptor&, Response) override { unscripted(); }
    qel::IXObject::Unique findFirst(XObjectProvider, const qel::XObjectDescriptor&, Response) override {
        unscripted();
    }
    qel::IXObject::Unique createElement(const qel::XObjectDescriptor&, UriObjectProvider, Response) override {
        unscripted();
    }
    qel::IXObject::Unique getElement(XObjectProvider, const qel::XObjectDescriptor&, Response) override {
        unscripted();
    }
    void deleteElement(const qel::XObjectDescriptor&, Response) override { unscripted(); }
    void updateElement(const qel::XObjectDescriptor&, Response) override { unscripted(); }
    Objects readResource(XObjectProvider, const qel::QelResourceDescriptor&, Response) override { unscripted(); }
    Objects readService(XObjectProvider, const qel::QelServiceDescriptor&, Response) override { unscripted(); }

private:
    [[noreturn]] static void unscripted() { throw std::logic_error("not scripted"); }
};

/// Returns the one fake transport for every service and records the names asked for.
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
