#pragma once

#include "ServerModel.h"

#include <qeldev/DevServer.h>

#include <QelAccessUtility/ILogger.h>
#include <QelAccessUtility/JsonObject.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qeldev {

/// The id of a new element is already in use.
class IdTaken : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

/// The elements of every resource, with change notification.
///
/// Stored elements are never modified in place: a change stores a new
/// object, so readers may use what they got after the lock is released.
/// Locks: `m_changeMutex` serialises changes together with their
/// notification (so listeners see changes in order) and is taken before
/// `m_dataMutex`, which guards the elements and is held only briefly;
/// `m_listenerMutex` guards the listener list and is never held while a
/// listener runs.
class DataStore {
public:
    using SharedConst = qelutil::JsonObject::SharedConst;

    DataStore(const ServerModel& model, std::shared_ptr<qelutil::ILogger> logger);

    /// Unknown service or resource names throw std::invalid_argument.
    SharedConst get(const std::string& service, const std::string& resource, const std::string& id) const;
    std::vector<SharedConst> list(const std::string& service, const std::string& resource) const;
    std::size_t count(const std::string& service, const std::string& resource) const;

    SharedConst set(const std::string& service, const std::string& resource,
                    const qelutil::JsonObject& element);
    /// Throws IdTaken for a used id and std::invalid_argument for a bad one.
    SharedConst create(const std::string& service, const std::string& resource,
                       const qelutil::JsonObject& element);
    /// Merges the members of `members` into the element; null when absent.
    SharedConst update(const std::string& service, const std::string& resource, const std::string& id,
                       const qelutil::JsonObject& members);
    /// The removed element; null when absent.
    SharedConst remove(const std::string& service, const std::string& resource, const std::string& id);

    /// Runs `read` while no change is under way and returns the sequence
    /// number of the last change it can see: every change up to it has been
    /// notified, none after it is reflected. Must not be called by a listener.
    template <typename Read>
    uint64_t readAtSequence(Read&& read) {
        checkNotInListener();
        std::lock_guard<std::mutex> changeLock(m_changeMutex);
        read();
        return m_sequence;
    }

    DevServer::ListenerId addListener(DevServer::ChangeListener listener);
    void removeListener(DevServer::ListenerId id);

private:
    struct Resource {
        std::string uriPrefix;
        std::vector<std::string> order;
        std::unordered_map<std::string, SharedConst> elements;
    };
    using Key = std::pair<std::string, std::string>;

    Resource& resourceOf(const std::string& service, const std::string& resource);
    const Resource& resourceOf(const std::string& service, const std::string& resource) const;
    SharedConst stored(Resource& resource, const qelutil::JsonObject& element, const std::string& id);
    static std::string freshId(const Resource& resource, const std::string& name);
    void notify(ElementChange::Kind kind, const std::string& service, const std::string& resource,
                const std::string& id, SharedConst element);
    void checkNotInListener() const;

    std::shared_ptr<qelutil::ILogger> m_logger;
    std::map<Key, Resource> m_resources;  // the set of keys is fixed after construction
    mutable std::mutex m_dataMutex;
    std::mutex m_changeMutex;
    uint64_t m_sequence = 0;  // guarded by m_changeMutex
    std::atomic<std::thread::id> m_notifyingThread{};

    std::mutex m_listenerMutex;
    std::vector<std::pair<DevServer::ListenerId, DevServer::ChangeListener>> m_listeners;
    DevServer::ListenerId m_nextListenerId = 1;
};

}  // namespace qeldev
