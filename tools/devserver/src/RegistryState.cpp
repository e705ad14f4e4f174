#include "RegistryState.h"

#include <algorithm>
#include <stdexcept>

namespace qeldev {

using qelutil::JsonObject;

namespace {

bool named(const JsonObject::SharedConst& entry, const std::string& name) {
    return entry->isString("name") && entry->getString("name") == name;
}

}  // namespace

RegistryState::RegistryState(const ServerModel& model, const std::vector<std::string>& unregistered)
    : m_model(model), m_extra(model.extraRegistryEntries) {
    for (const auto& service : model.services) {
        m_listed[service.name] = service.listed;
        m_resolution[service.name] = service.resolution;
    }
    for (const auto& name : unregistered) {
        requireService(name);
        m_listed[name] = false;
    }
}

void RegistryState::setOnChange(std::function<void()> onChange) { m_onChange = std::move(onChange); }

void RegistryState::requireService(const std::string& service) const {
    if (!m_model.findService(service)) throw std::invalid_argument("unknown service " + service);
}

bool RegistryState::isListed(const std::string& service) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_listed.find(service);
    return found != m_listed.end() && found->second;
}

ServiceDef::Resolution RegistryState::resolution(const ServiceDef& service) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_resolution.find(service.name);
    return found != m_resolution.end() ? found->second : service.resolution;
}

RegistryState::Entries RegistryState::extraEntries() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_extra;
}

void RegistryState::setListed(const std::string& service, bool listed) {
    requireService(service);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_listed[service] == listed) return;
        m_listed[service] = listed;
    }
    changed();
}

void RegistryState::setResolution(const std::string& service, ServiceDef::Resolution resolution) {
    requireService(service);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_resolution[service] = resolution;
}

void RegistryState::addEntry(const JsonObject& entry) {
    if (!entry.isString("name") || entry.getString("name").empty())
        throw std::invalid_argument("a registry entry needs a string \"name\"");
    const std::string name = entry.getString("name");
    if (m_model.findService(name)) throw std::invalid_argument("service " + name + " is in the data: register it by name");
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const JsonObject::SharedConst copy = entry.clone();
        const auto same = std::find_if(m_extra.begin(), m_extra.end(), [&](const auto& e) { return named(e, name); });
        if (same != m_extra.end()) {
            *same = copy;
        } else {
            m_extra.push_back(copy);
        }
    }
    changed();
}

bool RegistryState::remove(const std::string& name) {
    bool removed = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_listed.find(name);
        if (found != m_listed.end() && found->second) {
            found->second = false;
            removed = true;
        }
        const auto end = std::remove_if(m_extra.begin(), m_extra.end(), [&](const auto& e) { return named(e, name); });
        removed = removed || end != m_extra.end();
        m_extra.erase(end, m_extra.end());
    }
    if (removed) changed();
    return removed;
}

void RegistryState::changed() {
    if (m_onChange) m_onChange();
}

}  // namespace qeldev
