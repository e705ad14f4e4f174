#include "Commands.h"

#include "CliObjects.h"
#include "JsonOutput.h"
#include "ReplyEnvelope.h"
#include "Target.h"
#include "Watch.h"

#include <QelAccess/PagingObject.h>
#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/QelService.h>
#include <QelAccess/QelServiceDescriptor.h>
#include <QelAccessUtility/HttpResponse.h>
#include <QelAccessUtility/JsonException.h>
#include <QelAccessUtility/JsonFactory.h>

#include <functional>
#include <iostream>
#include <iterator>
#include <map>

namespace qelcli {

namespace {

using qel::QelResponse;
using qelutil::JsonArray;
using qelutil::JsonFactory;
using qelutil::JsonObject;

using ResponsePtr = std::shared_ptr<const QelResponse>;

/// What one command needs while it runs.
struct Run {
    const Options& options;
    QelClient& client;
    std::istream& in;
    std::ostream& out;

    void print(const JsonObject& json) const { out << renderJson(json, options.compact); }
    void print(const JsonArray& json) const { out << renderJson(json, options.compact); }
};

void setIfPresent(JsonObject& json, const std::string& key, const qelutil::Optional<std::string>& value) {
    if (value) json.setString(key, *value);
}

void setIfPresent(JsonObject& json, const std::string& key, const qelutil::Optional<std::vector<std::string>>& values) {
    if (!values) return;
    auto array = JsonFactory::createJsonArray();
    for (const std::string& value : *values) array->addString(value);
    json.setArray(key, *array);
}

void setStringOrNull(JsonObject& json, const std::string& key, const std::shared_ptr<std::string>& value) {
    if (value) {
        json.setString(key, *value);
    } else {
        json.setNull(key);
    }
}

JsonObject::Shared pagingJson(const qel::PagingObject& paging) {
    auto json = JsonFactory::createJsonObject();
    if (paging.offset) json->setLong("offset", *paging.offset);
    setIfPresent(*json, "offsetId", paging.offsetId);
    if (paging.limit) json->setLong("limit", *paging.limit);
    if (paging.total) json->setLong("total", *paging.total);
    if (paging.totalPages) json->setLong("totalPages", *paging.totalPages);
    setIfPresent(*json, "previous", paging.previous);
    setIfPresent(*json, "next", paging.next);
    return json;
}

/// {"data": [...], "paging": {...} or null}
JsonObject::Shared listing(const JsonArray& data, const QelResponse& response) {
    auto json = JsonFactory::createJsonObject();
    json->setArray("data", data);
    if (const auto paging = response.getPaging()) {
        json->setObject("paging", *pagingJson(*paging));
    } else {
        json->setNull("paging");
    }
    return json;
}

/// The envelope members the library read, for replies without an element.
JsonObject::Shared envelopeSummary(const QelResponse& response) {
    auto json = JsonFactory::createJsonObject();
    json->setLong("statusCode", response.getStatusCode());
    const std::pair<const char*, std::shared_ptr<const std::string>> members[] = {{"status", response.getStatus()},
                                                                                  {"message", response.getMessage()},
                                                                                  {"type", response.getType()},
                                                                                  {"event", response.getEvent()},
                                                                                  {"service", response.getService()}};
    for (const auto& member : members) {
        if (member.second) json->setString(member.first, *member.second);
    }
    return json;
}

JsonObject::Shared parseBody(const Run& run) {
    std::string text = run.options.body;
    if (text == "-") text.assign(std::istreambuf_iterator<char>(run.in), std::istreambuf_iterator<char>());
    try {
        return JsonFactory::parseObject(text);
    } catch (const qelutil::JsonException& e) {
        throw CliError(EXIT_USAGE, std::string("the body must be one JSON object: ") + e.what());
    }
}

void services(const Run& run) {
    const Endpoint& root = run.client.rootEndpoint();
    auto data = JsonFactory::createJsonArray();
    for (const auto& service : run.client.readRoot()) {
        if (!service) continue;
        auto json = JsonFactory::createJsonObject();
        setIfPresent(*json, "name", service->getName());
        setIfPresent(*json, "uri", service->getUri());
        json->setString("host", service->getHost().getValueOr(root.host));
        if (service->getPort()) json->setLong("port", *service->getPort());
        setIfPresent(*json, "path", service->getPath());
        setIfPresent(*json, "description", service->getDescription());
        setIfPresent(*json, "serviceCategories", service->getServiceCategories());
        setIfPresent(*json, "privileges", service->getPrivileges());
        setIfPresent(*json, "versions", service->getVersions());
        data->addObject(*json);
    }
    run.print(*data);
}

void resolve(const Run& run) {
    const Target target = parseTarget(run.options.target, 1, 1, "SERVICE");
    const Resolution resolution = run.client.resolve(target.service);
    auto json = JsonFactory::createJsonObject();
    json->setString("service", resolution.service);
    json->setLong("status", resolution.status);
    json->setString("answer", resolution.answer);
    if (!resolution.location.empty()) json->setString("location", resolution.location);
    if (resolution.choices) {
        auto choices = JsonFactory::createJsonArray();
        for (const auto& choice : *resolution.choices) {
            auto item = JsonFactory::createJsonObject();
            setStringOrNull(*item, "description", choice.description);
            setStringOrNull(*item, "hostAddress", choice.hostAddress);
            setStringOrNull(*item, "versions", choice.versions);
            choices->addObject(*item);
        }
        json->setArray("choices", *choices);
        json->setLong("chosen", resolution.chosen);
    }
    json->setString("host", resolution.endpoint.host);
    json->setLong("port", resolution.endpoint.port);
    json->setString("basePath", resolution.endpoint.basePath);
    json->setString("baseUri", resolution.endpoint.uri());
    run.print(*json);
}

void readResource(const Run& run, const qel::QelResourceDescriptor& descriptor,
                  const qel::ITpAccess::Shared& transport) {
    // The accessor sends only the names of a resource read; the paging,
    // fields and filters of this command need the transport itself.
    auto response = std::make_shared<QelResponse>();
    std::vector<qel::IXObject::Unique> elements;
    try {
        elements = transport->readResource(
            [](JsonObject::Shared json) -> qel::IXObject::Unique { return std::make_unique<JsonElement>(json); },
            descriptor, response);
    } catch (const std::exception& e) {
        run.client.raiseTransportFailure(e);
    }
    if (response->getStatusCode() != qelutil::HttpResponse::OK) run.client.raiseFailure(*response);
    auto data = JsonFactory::createJsonArray();
    for (const auto& element : elements) {
        const auto* typed = dynamic_cast<const JsonElement*>(element.get());
        if (typed && typed->json()) data->addObject(*typed->json());
    }
    run.print(*listing(*data, *response));
}

void readService(const Run& run, const qel::QelServiceDescriptor& descriptor, const qel::ITpAccess::Shared& transport) {
    using Resources = std::vector<std::shared_ptr<qel::QelService>>;
    using Result = std::pair<Resources, std::shared_ptr<QelResponse>>;
    Completion<Result> done;
    run.client.accessor(descriptor.getService(), transport)
        .readService(
            descriptor,
            [done](Resources resources, std::shared_ptr<QelResponse> response) mutable {
                done.succeed(Result(std::move(resources), response), response);
            },
            [done](ResponsePtr response) mutable { done.fail(std::move(response)); });
    const Result result = run.client.await(done);
    auto data = JsonFactory::createJsonArray();
    for (const auto& resource : result.first) {
        auto json = JsonFactory::createJsonObject();
        setIfPresent(*json, "id", resource->getId());
        setIfPresent(*json, "name", resource->getName());
        setIfPresent(*json, "uri", resource->getUri());
        data->addObject(*json);
    }
    run.print(*listing(*data, *result.second));
}

void read(const Run& run) {
    const Target target = parseTarget(run.options.target, 1, 2, "SERVICE[/RESOURCE]");
    // The descriptors check the read options before anything is sent.
    qel::QelServiceDescriptor serviceDescriptor(target.service);
    qel::QelResourceDescriptor resourceDescriptor(target.service, target.resource);
    qel::XObjectDescriptor& descriptor =
        target.resource.empty() ? static_cast<qel::XObjectDescriptor&>(serviceDescriptor) : resourceDescriptor;
    applyReadShaping(run.options.query, descriptor);
    applyFields(run.options.query, descriptor);
    const auto transport = run.client.transport(target.service, run.client.locate(target.service));
    if (target.resource.empty()) {
        readService(run, serviceDescriptor, transport);
    } else {
        readResource(run, resourceDescriptor, transport);
    }
}

void get(const Run& run) {
    const Target target = parseTarget(run.options.target, 3, 3, "SERVICE/RESOURCE/ID");
    qel::XObjectDescriptor descriptor(target.service, target.resource);
    descriptor.setId(target.id);
    applyFields(run.options.query, descriptor);
    const auto transport = run.client.transport(target.service, run.client.locate(target.service));
    Completion<std::shared_ptr<const JsonElement>> done;
    run.client.accessor(target.service, transport)
        .getElement<JsonElement>(
            descriptor,
            [done](std::shared_ptr<const JsonElement> element, ResponsePtr response) mutable {
                done.succeed(std::move(element), std::move(response));
            },
            [done](ResponsePtr response) mutable { done.fail(std::move(response)); });
    const auto element = run.client.await(done);
    if (element && element->json()) {
        run.print(*element->json());
    } else {
        run.out << "null\n";
    }
}

void create(const Run& run) {
    const Target target = parseTarget(run.options.target, 2, 2, "SERVICE/RESOURCE");
    const BodyDescriptor descriptor(target.service, target.resource, parseBody(run));
    const auto transport = run.client.transport(target.service, run.client.locate(target.service));
    using Created = std::shared_ptr<const qel::XObject<BodyDescriptor>>;
    Completion<Created> done;
    run.client.replies().clear();
    run.client.accessor(target.service, transport)
        .createElement<BodyDescriptor>(
            descriptor,
            [done](Created created, ResponsePtr response) mutable {
                done.succeed(std::move(created), std::move(response));
            },
            [done](ResponsePtr response) mutable { done.fail(std::move(response)); });
    const Created created = run.client.await(done);
    if (const auto element = replyDataObject(run.client.replies().lastReply())) {
        run.print(*element);
        return;
    }
    auto json = JsonFactory::createJsonObject();
    if (created) {
        setIfPresent(*json, "id", created->getId());
        setIfPresent(*json, "uri", created->getUri());
    }
    run.print(*json);
}

/// Update and delete: the element in the reply, else what the envelope said.
void printChange(const Run& run, const QelResponse& response) {
    if (const auto element = replyDataObject(run.client.replies().lastReply())) {
        run.print(*element);
    } else {
        run.print(*envelopeSummary(response));
    }
}

void update(const Run& run) {
    const Target target = parseTarget(run.options.target, 3, 3, "SERVICE/RESOURCE/ID");
    BodyDescriptor descriptor(target.service, target.resource, parseBody(run));
    descriptor.setId(target.id);
    const auto transport = run.client.transport(target.service, run.client.locate(target.service));
    Completion<ResponsePtr> done;
    run.client.replies().clear();
    run.client.accessor(target.service, transport)
        .updateElement(
            descriptor, [done](ResponsePtr response) mutable { done.succeed(response, response); },
            [done](ResponsePtr response) mutable { done.fail(std::move(response)); });
    printChange(run, *run.client.await(done));
}

void remove(const Run& run) {
    const Target target = parseTarget(run.options.target, 3, 3, "SERVICE/RESOURCE/ID");
    qel::XObjectDescriptor descriptor(target.service, target.resource);
    descriptor.setId(target.id);
    const auto transport = run.client.transport(target.service, run.client.locate(target.service));
    Completion<ResponsePtr> done;
    run.client.replies().clear();
    run.client.accessor(target.service, transport)
        .deleteElement(
            descriptor, [done](ResponsePtr response) mutable { done.succeed(response, response); },
            [done](ResponsePtr response) mutable { done.fail(std::move(response)); });
    printChange(run, *run.client.await(done));
}

void watch(const Run& run) { watchTarget(run.options, run.client, run.out); }

}  // namespace

void runCommand(const Options& options, QelClient& client, std::istream& in, std::ostream& out) {
    static const std::map<std::string, std::function<void(const Run&)>> commands = {
        {"services", services}, {"resolve", resolve}, {"read", read},    {"get", get},
        {"create", create},     {"update", update},   {"delete", remove}, {"watch", watch}};
    const auto it = commands.find(options.command);
    if (it == commands.end()) throw CliError(EXIT_USAGE, "unknown command " + options.command);
    it->second(Run{options, client, in, out});
}

}  // namespace qelcli
