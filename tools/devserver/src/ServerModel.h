#pragma once

#include <QelAccessUtility/JsonObject.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qeldev {

struct OriginDef {
    std::string name;
    uint16_t port = 0;
};

/// One alternative of a multiple-choice resolution. An empty host address
/// stands for the service's own address.
struct ChoiceDef {
    std::string description;
    std::string hostAddress;
    std::string versions;
};

struct ResourceDef {
    std::string name;
    std::vector<qelutil::JsonObject::SharedConst> elements;
};

struct ServiceDef {
    /// How the registry listing gives the service's "uri": a path resolved
    /// against the registry's host, or an absolute URI.
    enum class RegistryUri { RELATIVE, ABSOLUTE };
    /// How the registry answers a resolution of the service.
    enum class Resolution { ENTRY, REDIRECT, CHOICES };

    std::string name;
    std::size_t origin = 0;
    std::string basePath = "/";
    std::string description;
    std::vector<std::string> serviceCategories;
    std::vector<std::string> privileges;
    std::vector<std::string> versions;
    RegistryUri registryUri = RegistryUri::RELATIVE;
    Resolution resolution = Resolution::ENTRY;
    std::vector<ChoiceDef> choices;
    bool listed = true;
    std::vector<ResourceDef> resources;

    const ResourceDef* findResource(const std::string& resource) const;
};

struct RegistryDef {
    std::size_t origin = 0;
    std::string basePath = "/";
};

/// Everything the data describes; fixed once loaded.
struct ServerModel {
    std::vector<OriginDef> origins;
    RegistryDef registry;
    std::vector<ServiceDef> services;
    /// Entries appended to the registry listing as given.
    std::vector<qelutil::JsonObject::SharedConst> extraRegistryEntries;
    int64_t pageSize = 100;
    /// Page size of WebSocket listings from the data; 0 when the data has none.
    int64_t wsPageSize = 0;

    const ServiceDef* findService(const std::string& name) const;

    /// Throws std::runtime_error naming the offending part of the data.
    static ServerModel load(const qelutil::JsonObject& data, int64_t defaultPageSize);
};

/// Whether `id` can name a service, resource or element: 1 to 128 of the
/// characters A-Z a-z 0-9 . _ ~ : @ -
bool isValidId(const std::string& id);

/// The built-in example data in the data file format.
qelutil::JsonObject::Shared buildExampleData();

}  // namespace qeldev
