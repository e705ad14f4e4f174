#include "ServerModel.h"

#include <QelAccessUtility/JsonArray.h>

#include <algorithm>
#include <set>
#include <stdexcept>

namespace qeldev {

using qelutil::JsonArray;
using qelutil::JsonObject;

namespace {

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    throw std::runtime_error("data: " + where + ": " + what);
}

std::string optionalString(const JsonObject& object, const std::string& key, const std::string& where,
                           const std::string& fallback = {}) {
    if (!object.has(key)) return fallback;
    if (!object.isString(key)) fail(where, "\"" + key + "\" must be a string");
    return object.getString(key);
}

std::vector<std::string> stringList(const JsonObject& object, const std::string& key,
                                    const std::string& where) {
    std::vector<std::string> list;
    if (!object.has(key)) return list;
    if (!object.isArray(key)) fail(where, "\"" + key + "\" must be an array of strings");
    const auto array = object.getArray(key);
    for (std::size_t i = 0; i < array->size(); ++i) {
        if (!array->isString(i)) fail(where, "\"" + key + "\" must be an array of strings");
        list.push_back(array->getString(i));
    }
    return list;
}

JsonArray::Shared objectArray(const JsonObject& object, const std::string& key, const std::string& where) {
    if (!object.isArray(key)) fail(where, "\"" + key + "\" must be an array of objects");
    auto array = object.getArray(key);
    for (std::size_t i = 0; i < array->size(); ++i) {
        if (!array->isObject(i)) fail(where, "\"" + key + "\" must be an array of objects");
    }
    return array;
}

bool isValidBasePath(const std::string& path) {
    if (path.empty() || path.size() > 256 || path.front() != '/' || path.back() != '/') return false;
    if (path.find("//") != std::string::npos || path.rfind("/_admin/", 0) == 0) return false;
    return std::all_of(path.begin(), path.end(), [](char c) {
        return c == '/' || isValidId(std::string(1, c));
    });
}

std::string basePath(const JsonObject& object, const std::string& where) {
    const auto path = optionalString(object, "basePath", where, "/");
    if (!isValidBasePath(path))
        fail(where, "\"basePath\" must start and end with \"/\" and hold only id characters");
    return path;
}

std::vector<OriginDef> loadOrigins(const JsonObject& data) {
    std::vector<OriginDef> origins;
    if (!data.has("origins")) return {OriginDef{"main", 0}};
    const auto array = objectArray(data, "origins", "origins");
    for (std::size_t i = 0; i < array->size(); ++i) {
        const auto entry = array->getObject(i);
        const std::string where = "origins[" + std::to_string(i) + "]";
        OriginDef origin{optionalString(*entry, "name", where), 0};
        if (origin.name.empty()) fail(where, "\"name\" is missing");
        if (entry->has("port")) {
            if (!entry->isLong("port") || entry->getLong("port") < 0 || entry->getLong("port") > 65535)
                fail(where, "\"port\" must be an integer from 0 to 65535");
            origin.port = static_cast<uint16_t>(entry->getLong("port"));
        }
        for (const auto& other : origins) {
            if (other.name == origin.name) fail(where, "origin name used twice: " + origin.name);
        }
        origins.push_back(origin);
    }
    if (origins.empty()) fail("origins", "at least one origin is needed");
    return origins;
}

std::size_t originIndex(const std::vector<OriginDef>& origins, const JsonObject& object,
                        const std::string& where) {
    if (!object.has("origin")) return 0;
    const auto name = optionalString(object, "origin", where);
    for (std::size_t i = 0; i < origins.size(); ++i) {
        if (origins[i].name == name) return i;
    }
    fail(where, "unknown origin " + name);
}

std::vector<ChoiceDef> loadChoices(const JsonObject& service, const std::string& where) {
    std::vector<ChoiceDef> choices;
    if (!service.has("choices")) return {ChoiceDef{"", "", ""}};
    const auto array = objectArray(service, "choices", where);
    for (std::size_t i = 0; i < array->size(); ++i) {
        const auto entry = array->getObject(i);
        const std::string at = where + ".choices[" + std::to_string(i) + "]";
        choices.push_back(ChoiceDef{optionalString(*entry, "description", at),
                                    optionalString(*entry, "hostAddress", at),
                                    optionalString(*entry, "versions", at)});
    }
    return choices;
}

ResourceDef loadResource(const std::string& name, const JsonObject& resources, const std::string& where) {
    if (!isValidId(name)) fail(where, "invalid resource name \"" + name + "\"");
    ResourceDef resource{name, {}};
    const auto elements = objectArray(resources, name, where + "." + name);
    std::set<std::string> ids;
    for (std::size_t i = 0; i < elements->size(); ++i) {
        const auto element = elements->getObject(i)->clone();
        const std::string at = where + "." + name + "[" + std::to_string(i) + "]";
        const auto id = optionalString(*element, "id", at);
        if (!isValidId(id)) fail(at, "\"id\" must be a valid id");
        if (!ids.insert(id).second) fail(at, "id used twice: " + id);
        resource.elements.push_back(element);
    }
    return resource;
}

ServiceDef::Resolution resolutionOf(const std::string& text, const std::string& where) {
    if (text == "entry") return ServiceDef::Resolution::ENTRY;
    if (text == "redirect") return ServiceDef::Resolution::REDIRECT;
    if (text == "choices") return ServiceDef::Resolution::CHOICES;
    fail(where, "\"resolve\" must be \"entry\", \"redirect\" or \"choices\"");
}

ServiceDef::RegistryUri registryUriOf(const std::string& text, const std::string& where) {
    if (text == "relative") return ServiceDef::RegistryUri::RELATIVE;
    if (text == "absolute") return ServiceDef::RegistryUri::ABSOLUTE;
    fail(where, "\"registryUri\" must be \"relative\" or \"absolute\"");
}

ServiceDef loadService(const JsonObject& entry, const std::vector<OriginDef>& origins,
                       const std::string& where) {
    ServiceDef service;
    service.name = optionalString(entry, "name", where);
    if (!isValidId(service.name)) fail(where, "\"name\" must be a valid id");
    const std::string at = "service " + service.name;
    service.origin = originIndex(origins, entry, at);
    service.basePath = basePath(entry, at);
    service.description = optionalString(entry, "description", at);
    service.serviceCategories = stringList(entry, "serviceCategories", at);
    service.privileges = stringList(entry, "privileges", at);
    service.versions = stringList(entry, "versions", at);
    service.registryUri = registryUriOf(optionalString(entry, "registryUri", at, "relative"), at);
    service.resolution = resolutionOf(optionalString(entry, "resolve", at, "entry"), at);
    service.choices = loadChoices(entry, at);
    if (entry.has("listed")) {
        if (!entry.isBool("listed")) fail(at, "\"listed\" must be true or false");
        service.listed = entry.getBool("listed");
    }
    if (entry.has("resources")) {
        if (!entry.isObject("resources")) fail(at, "\"resources\" must be an object");
        const auto resources = entry.getObject("resources");
        std::set<std::string> names;
        for (const auto& name : resources->getKeys()) {
            if (!names.insert(name).second) fail(at, "resource named twice: " + name);
            service.resources.push_back(loadResource(name, *resources, at));
        }
    }
    return service;
}

void checkMounts(const ServerModel& model) {
    for (const auto& service : model.services) {
        if (service.origin == model.registry.origin && service.basePath == model.registry.basePath)
            fail("service " + service.name, "shares its origin and base path with the registry");
    }
}

}  // namespace

bool isValidId(const std::string& id) {
    if (id.empty() || id.size() > 128) return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
               c == '_' || c == '~' || c == ':' || c == '@' || c == '-';
    });
}

const ResourceDef* ServiceDef::findResource(const std::string& resource) const {
    for (const auto& candidate : resources) {
        if (candidate.name == resource) return &candidate;
    }
    return nullptr;
}

const ServiceDef* ServerModel::findService(const std::string& name) const {
    for (const auto& candidate : services) {
        if (candidate.name == name) return &candidate;
    }
    return nullptr;
}

ServerModel ServerModel::load(const JsonObject& data, int64_t defaultPageSize) {
    ServerModel model;
    model.origins = loadOrigins(data);
    model.pageSize = defaultPageSize;
    if (data.has("pageSize")) {
        if (!data.isLong("pageSize") || data.getLong("pageSize") < 1)
            fail("pageSize", "must be a positive integer");
        model.pageSize = data.getLong("pageSize");
    }
    if (data.has("wsPageSize")) {
        if (!data.isLong("wsPageSize") || data.getLong("wsPageSize") < 1)
            fail("wsPageSize", "must be a positive integer");
        model.wsPageSize = data.getLong("wsPageSize");
    }
    if (data.has("registry")) {
        if (!data.isObject("registry")) fail("registry", "must be an object");
        const auto registry = data.getObject("registry");
        model.registry.origin = originIndex(model.origins, *registry, "registry");
        model.registry.basePath = basePath(*registry, "registry");
    }
    if (data.has("services")) {
        const auto services = objectArray(data, "services", "services");
        for (std::size_t i = 0; i < services->size(); ++i) {
            auto service = loadService(*services->getObject(i), model.origins,
                                       "services[" + std::to_string(i) + "]");
            if (model.findService(service.name)) fail("services", "service named twice: " + service.name);
            model.services.push_back(std::move(service));
        }
    }
    if (data.has("registryEntries")) {
        const auto entries = objectArray(data, "registryEntries", "registryEntries");
        for (std::size_t i = 0; i < entries->size(); ++i) model.extraRegistryEntries.push_back(entries->getObject(i)->clone());
    }
    checkMounts(model);
    return model;
}

}  // namespace qeldev
