#pragma once

#include "Listing.h"
#include "QueryParams.h"
#include "ServerContext.h"

#include <qeldev/DevServer.h>

#include <QelAccessUtility/JsonObject.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qeldev {

/// An event name as a client chooses it: a path, an optional query and an
/// optional tag, "path?query#tag". The tag starts at the last "#", so a
/// "#" inside the query stays in the query.
struct EventName {
    std::string path;
    std::string rawQuery;
    std::string tag;

    static EventName parse(const std::string& text);
};

/// What an unsubscribe message names for the subscription `event`: the
/// event without the text from its first "?" up to its first "#" (the query),
/// when it has both; else the event itself.
std::string unsubscribeKey(const std::string& event);

/// A base path of one origin that serves the service interface or the registry.
struct Mount {
    std::string basePath;
    bool registry = false;
};

/// The mount whose base path is exactly `path` (with or without the
/// trailing "/"), if any.
std::optional<Mount> mountAt(const ServerContext& context, std::size_t origin, const std::string& path);

/// What one subscription watches.
struct SubscriptionTarget {
    enum Kind { ELEMENT, RESOURCE, ROOT };

    Kind kind = ROOT;
    std::size_t origin = 0;
    /// The mount the event's path lies under.
    Mount mount;
    /// Null for a root.
    const ServiceDef* service = nullptr;
    std::string resource;
    std::string id;
    /// The event's path, for paging links.
    std::string path;
    QueryParams query;

    bool isListing() const { return kind != ELEMENT; }
    /// Whether `change` alters what the subscription shows.
    bool concerns(const ElementChange& change) const;
};

/// Resolves an event name against the mounts of `origin`. Throws HttpError
/// (404 for unknown services, resources, elements and paths, 400 for a
/// malformed path or query, 414 for an overlong query) when it names
/// nothing that can be subscribed: a root, a resource or an element.
SubscriptionTarget resolveTarget(const ServerContext& context, std::size_t origin, const std::string& event);

using ElementList = std::vector<qelutil::JsonObject::SharedConst>;

/// The current items of a resource or root target.
ElementList currentItems(const ServerContext& context, const SubscriptionTarget& target);

/// The texts of the messages the server sends.
namespace wsmessage {

/// {"type":"data","event":...,"data":{...}}, the element limited to the target's fields.
std::string element(const std::string& event, const SubscriptionTarget& target, const qelutil::JsonObject& element);
/// {"type":"data","event":...,"paging":{...},"data":[...]}: one page of
/// `items`. Throws HttpError 400 when the target's offset id is not listed.
std::string listing(const std::string& event, const SubscriptionTarget& target, const ElementList& items,
                    int64_t pageSize);
/// {"type":"subscribe"|"unsubscribe","event":...}
std::string confirmation(const std::string& type, const std::string& event);
/// {"type":"error","event":...,"status":reason phrase,"message":...}; without
/// "event" when the client's message had none.
std::string error(const std::optional<std::string>& event, int status, const std::string& message);
/// A data message of exactly `bytes` bytes (or the bare message, when
/// larger) whose data pads it: an array holding one object for a listing,
/// else one object.
std::string padded(const std::string& event, bool listing, std::size_t bytes);

}  // namespace wsmessage

}  // namespace qeldev
