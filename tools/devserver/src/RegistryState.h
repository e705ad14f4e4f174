#pragma once

#include "ServerModel.h"

#include <QelAccessUtility/JsonObject.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace qeldev {

/// What the registry lists and answers while the server runs: which services
/// are registered, how each one's resolution answers, and the extra entries.
/// Starts from the data and may change at run time; thread-safe.
/// `m_mutex` is never held while the change callback runs.
class RegistryState {
public:
    using Entries = std::vector<qelutil::JsonObject::SharedConst>;

    RegistryState(const ServerModel& model, const std::vector<std::string>& unregistered);

    /// Called after every change that alters the listing, without a lock held.
    void setOnChange(std::function<void()> onChange);

    bool isListed(const std::string& service) const;
    ServiceDef::Resolution resolution(const ServiceDef& service) const;
    Entries extraEntries() const;

    /// Services of the data: std::invalid_argument for unknown names.
    void setListed(const std::string& service, bool listed);
    void setResolution(const std::string& service, ServiceDef::Resolution resolution);
    /// An extra entry (a string "name" at least) in place of one of that name.
    void addEntry(const qelutil::JsonObject& entry);
    /// Unlists the service of that name and removes extra entries of that name;
    /// false when nothing was listed under it.
    bool remove(const std::string& name);

private:
    void requireService(const std::string& service) const;
    void changed();

    const ServerModel& m_model;
    mutable std::mutex m_mutex;
    std::map<std::string, bool> m_listed;
    std::map<std::string, ServiceDef::Resolution> m_resolution;
    Entries m_extra;
    std::function<void()> m_onChange;  // set before serving
};

}  // namespace qeldev
