#include "Subscriptions.h"

#include "RegistryApi.h"
#include "Reply.h"
#include "Router.h"
#include "ServiceApi.h"

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonFactory.h>

namespace qeldev {

using qelutil::JsonFactory;
using qelutil::JsonObject;

EventName EventName::parse(const std::string& text) {
    EventName name;
    const auto hash = text.rfind('#');
    const std::string head = text.substr(0, hash);
    if (hash != std::string::npos) name.tag = text.substr(hash + 1);
    const auto question = head.find('?');
    name.path = head.substr(0, question);
    if (question != std::string::npos) name.rawQuery = head.substr(question + 1);
    return name;
}

std::string unsubscribeKey(const std::string& event) {
    const auto question = event.find('?');
    const auto hash = event.find('#');
    if (question == std::string::npos || hash == std::string::npos || hash < question) return event;
    return event.substr(0, question) + event.substr(hash);
}

namespace {

std::vector<Mount> mountsOf(const ServerContext& context, std::size_t origin) {
    std::vector<Mount> mounts;
    if (context.model.registry.origin == origin) mounts.push_back({context.model.registry.basePath, true});
    for (const auto& service : context.model.services) {
        if (service.origin == origin) mounts.push_back({service.basePath, false});
    }
    return mounts;
}

/// The mount with the longest base path that holds `path`.
std::optional<Mount> mountHolding(const ServerContext& context, std::size_t origin, const std::string& path) {
    std::optional<Mount> best;
    for (const auto& mount : mountsOf(context, origin)) {
        const bool holds = path.rfind(mount.basePath, 0) == 0 || path + "/" == mount.basePath;
        if (holds && (!best || mount.basePath.size() > best->basePath.size())) best = mount;
    }
    return best;
}

const ServiceDef* serviceAt(const ServerContext& context, std::size_t origin, const Mount& mount,
                            const std::string& name) {
    const ServiceDef* service = context.model.findService(name);
    if (!service || service->origin != origin || service->basePath != mount.basePath) return nullptr;
    return service;
}

}  // namespace

std::optional<Mount> mountAt(const ServerContext& context, std::size_t origin, const std::string& path) {
    for (const auto& mount : mountsOf(context, origin)) {
        if (path == mount.basePath || path + "/" == mount.basePath) return mount;
    }
    return std::nullopt;
}

bool SubscriptionTarget::concerns(const ElementChange& change) const {
    if (kind == ROOT || change.service != service->name || change.resource != resource) return false;
    return kind == RESOURCE || change.id == id;
}

SubscriptionTarget resolveTarget(const ServerContext& context, std::size_t origin, const std::string& event) {
    const EventName name = EventName::parse(event);
    if (name.path.empty() || name.path.front() != '/') throw HttpError(400, "the event must start with a path");
    if (name.rawQuery.size() > context.maxQueryBytes) throw HttpError(414, "query string too long");
    const auto mount = mountHolding(context, origin, name.path);
    if (!mount) throw HttpError(404, "nothing is served at " + name.path);
    SubscriptionTarget target;
    target.origin = origin;
    target.mount = *mount;
    target.path = name.path;
    const std::string rest =
        name.path.size() > mount->basePath.size() ? name.path.substr(mount->basePath.size()) : std::string();
    const auto segments = pathSegments(rest);
    target.query = QueryParams::parse(name.rawQuery, context.maxQueryBytes);
    if (segments.empty()) return target;
    if (mount->registry) throw HttpError(404, "only the root of the registry can be subscribed");
    target.service = serviceAt(context, origin, *mount, segments[0]);
    if (!target.service) throw HttpError(404, "no service " + segments[0] + " at " + mount->basePath);
    if (segments.size() == 1) throw HttpError(404, "a service cannot be subscribed, only its resources");
    if (!target.service->findResource(segments[1]))
        throw HttpError(404, "no resource " + segments[1] + " in service " + target.service->name);
    target.resource = segments[1];
    target.kind = SubscriptionTarget::RESOURCE;
    if (segments.size() == 2) return target;
    if (segments.size() > 3) throw HttpError(404, "no such path");
    target.id = segments[2];
    target.kind = SubscriptionTarget::ELEMENT;
    if (!context.store.get(target.service->name, target.resource, target.id))
        throw HttpError(404, "no element " + target.id + " in " + target.service->name + "/" + target.resource);
    return target;
}

ElementList currentItems(const ServerContext& context, const SubscriptionTarget& target) {
    if (target.kind == SubscriptionTarget::RESOURCE) return context.store.list(target.service->name, target.resource);
    if (target.mount.registry) return RegistryApi(context).entries();
    ElementList entries;
    for (const auto& service : context.model.services) {
        if (service.origin == target.origin && service.basePath == target.mount.basePath)
            entries.push_back(describeService(context, service, false));
    }
    return entries;
}

namespace wsmessage {

namespace {

JsonObject::Shared head(const std::string& type, const std::string& event) {
    auto message = JsonFactory::createJsonObject();
    message->setString("type", type);
    message->setString("event", event);
    return message;
}

}  // namespace

std::string element(const std::string& event, const SubscriptionTarget& target, const JsonObject& element) {
    auto message = head("data", event);
    message->setObject("data", *selectFields(element, target.query));
    return message->toString();
}

std::string listing(const std::string& event, const SubscriptionTarget& target, const ElementList& items,
                    int64_t pageSize) {
    const ListingPage page = buildListing(items, target.query, target.path, pageSize);
    auto message = head("data", event);
    message->setObject("paging", *page.paging);
    message->setArray("data", *page.data);
    return message->toString();
}

std::string confirmation(const std::string& type, const std::string& event) { return head(type, event)->toString(); }

std::string error(const std::optional<std::string>& event, int status, const std::string& message) {
    auto text = JsonFactory::createJsonObject();
    text->setString("type", "error");
    if (event) text->setString("event", *event);
    text->setString("status", reasonPhrase(status));
    text->setString("message", message);
    return text->toString();
}

std::string padded(const std::string& event, bool listing, std::size_t bytes) {
    auto build = [&](const std::string& padding) {
        auto element = JsonFactory::createJsonObject();
        element->setString("id", "oversized");
        element->setString("padding", padding);
        auto message = head("data", event);
        if (listing) {
            auto array = JsonFactory::createJsonArray();
            array->addObject(*element);
            message->setArray("data", *array);
        } else {
            message->setObject("data", *element);
        }
        return message->toString();
    };
    const std::string bare = build("");
    if (bytes <= bare.size()) return bare;
    return build(std::string(bytes - bare.size(), 'x'));
}

}  // namespace wsmessage

}  // namespace qeldev
