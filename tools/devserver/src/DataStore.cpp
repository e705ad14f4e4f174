#include "DataStore.h"

#include "JsonValues.h"

#include <algorithm>

namespace qeldev {

using qelutil::JsonObject;

DataStore::DataStore(const ServerModel& model, std::shared_ptr<qelutil::ILogger> logger)
    : m_logger(std::move(logger)) {
    for (const auto& service : model.services) {
        for (const auto& definition : service.resources) {
            Resource& resource = m_resources[Key(service.name, definition.name)];
            resource.uriPrefix = service.basePath + service.name + "/" + definition.name + "/";
            for (const auto& element : definition.elements) {
                const auto id = element->getString("id");
                resource.order.push_back(id);
                resource.elements[id] = stored(resource, *element, id);
            }
        }
    }
}

DataStore::Resource& DataStore::resourceOf(const std::string& service, const std::string& resource) {
    auto found = m_resources.find(Key(service, resource));
    if (found == m_resources.end()) throw std::invalid_argument("unknown resource " + service + "/" + resource);
    return found->second;
}

const DataStore::Resource& DataStore::resourceOf(const std::string& service,
                                                 const std::string& resource) const {
    return const_cast<DataStore*>(this)->resourceOf(service, resource);
}

DataStore::SharedConst DataStore::stored(Resource& resource, const JsonObject& element, const std::string& id) {
    auto copy = element.clone();
    copy->setString("id", id);
    if (!copy->has("name")) copy->setString("name", id);
    copy->setString("uri", resource.uriPrefix + id);
    return copy;
}

std::string DataStore::freshId(const Resource& resource, const std::string& name) {
    for (std::size_t number = resource.order.size() + 1;; ++number) {
        auto id = name.substr(0, 1) + std::to_string(number);
        if (resource.elements.count(id) == 0) return id;
    }
}

DataStore::SharedConst DataStore::get(const std::string& service, const std::string& resource,
                                      const std::string& id) const {
    std::lock_guard<std::mutex> lock(m_dataMutex);
    const Resource& found = resourceOf(service, resource);
    auto element = found.elements.find(id);
    return element == found.elements.end() ? nullptr : element->second;
}

std::vector<DataStore::SharedConst> DataStore::list(const std::string& service,
                                                    const std::string& resource) const {
    std::lock_guard<std::mutex> lock(m_dataMutex);
    const Resource& found = resourceOf(service, resource);
    std::vector<SharedConst> elements;
    elements.reserve(found.order.size());
    for (const auto& id : found.order) elements.push_back(found.elements.at(id));
    return elements;
}

std::size_t DataStore::count(const std::string& service, const std::string& resource) const {
    std::lock_guard<std::mutex> lock(m_dataMutex);
    return resourceOf(service, resource).order.size();
}

DataStore::SharedConst DataStore::set(const std::string& service, const std::string& resource,
                                      const JsonObject& element) {
    checkNotInListener();
    if (!element.isString("id") || !isValidId(element.getString("id")))
        throw std::invalid_argument("element needs a valid string \"id\"");
    const auto id = element.getString("id");
    std::lock_guard<std::mutex> changeLock(m_changeMutex);
    SharedConst result;
    bool existed = false;
    {
        std::lock_guard<std::mutex> lock(m_dataMutex);
        Resource& found = resourceOf(service, resource);
        existed = found.elements.count(id) > 0;
        result = stored(found, element, id);
        if (!existed) found.order.push_back(id);
        found.elements[id] = result;
    }
    notify(existed ? ElementChange::UPDATED : ElementChange::CREATED, service, resource, id, result);
    return result;
}

DataStore::SharedConst DataStore::create(const std::string& service, const std::string& resource,
                                         const JsonObject& element) {
    checkNotInListener();
    if (element.has("id") && (!element.isString("id") || !isValidId(element.getString("id"))))
        throw std::invalid_argument("\"id\" must be a string of 1 to 128 characters A-Z a-z 0-9 . _ ~ : @ -");
    std::lock_guard<std::mutex> changeLock(m_changeMutex);
    SharedConst result;
    std::string id;
    {
        std::lock_guard<std::mutex> lock(m_dataMutex);
        Resource& found = resourceOf(service, resource);
        id = element.has("id") ? element.getString("id") : freshId(found, resource);
        if (found.elements.count(id) > 0) throw IdTaken("element " + id + " exists already");
        result = stored(found, element, id);
        found.order.push_back(id);
        found.elements[id] = result;
    }
    notify(ElementChange::CREATED, service, resource, id, result);
    return result;
}

DataStore::SharedConst DataStore::update(const std::string& service, const std::string& resource,
                                         const std::string& id, const JsonObject& members) {
    checkNotInListener();
    std::lock_guard<std::mutex> changeLock(m_changeMutex);
    SharedConst result;
    {
        std::lock_guard<std::mutex> lock(m_dataMutex);
        Resource& found = resourceOf(service, resource);
        auto element = found.elements.find(id);
        if (element == found.elements.end()) return nullptr;
        auto merged = element->second->clone();
        for (const auto& key : members.getKeys()) {
            if (key != "id" && key != "uri") copyMember(members, key, *merged);
        }
        result = merged;
        element->second = result;
    }
    notify(ElementChange::UPDATED, service, resource, id, result);
    return result;
}

DataStore::SharedConst DataStore::remove(const std::string& service, const std::string& resource,
                                         const std::string& id) {
    checkNotInListener();
    std::lock_guard<std::mutex> changeLock(m_changeMutex);
    SharedConst removed;
    {
        std::lock_guard<std::mutex> lock(m_dataMutex);
        Resource& found = resourceOf(service, resource);
        auto element = found.elements.find(id);
        if (element == found.elements.end()) return nullptr;
        removed = element->second;
        found.elements.erase(element);
        found.order.erase(std::find(found.order.begin(), found.order.end(), id));
    }
    notify(ElementChange::DELETED, service, resource, id, nullptr);
    return removed;
}

DevServer::ListenerId DataStore::addListener(DevServer::ChangeListener listener) {
    std::lock_guard<std::mutex> lock(m_listenerMutex);
    const auto id = m_nextListenerId++;
    m_listeners.emplace_back(id, std::move(listener));
    return id;
}

void DataStore::removeListener(DevServer::ListenerId id) {
    std::lock_guard<std::mutex> lock(m_listenerMutex);
    m_listeners.erase(std::remove_if(m_listeners.begin(), m_listeners.end(),
                                     [id](const auto& entry) { return entry.first == id; }),
                      m_listeners.end());
}

void DataStore::checkNotInListener() const {
    if (m_notifyingThread.load() == std::this_thread::get_id())
        throw std::logic_error("a change listener must not change the data");
}

void DataStore::notify(ElementChange::Kind kind, const std::string& service, const std::string& resource,
                       const std::string& id, SharedConst element) {
    const ElementChange change{kind, service, resource, id, std::move(element), ++m_sequence};
    std::vector<DevServer::ChangeListener> listeners;
    {
        std::lock_guard<std::mutex> lock(m_listenerMutex);
        for (const auto& entry : m_listeners) listeners.push_back(entry.second);
    }
    m_notifyingThread.store(std::this_thread::get_id());
    for (const auto& listener : listeners) {
        try {
            listener(change);
        } catch (const std::exception& e) {
            m_logger->warning(std::string("change listener failed: ") + e.what());
        } catch (...) {
            m_logger->warning("change listener failed");
        }
    }
    m_notifyingThread.store(std::thread::id());
}

}  // namespace qeldev
