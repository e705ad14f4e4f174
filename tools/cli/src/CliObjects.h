#pragma once

#include <QelAccess/XObject.h>
#include <QelAccess/XObjectDescriptor.h>
#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/JsonObject.h>

#include <string>

namespace qelcli {

/// Addresses an element and carries the JSON object the user gave as the
/// body of a create or an update.
class BodyDescriptor : public qel::XObjectDescriptor {
public:
    BodyDescriptor(const std::string& service, const std::string& resource, qelutil::JsonObject::Shared body)
        : XObjectDescriptor(service, resource), m_body(std::move(body)) {}

    qelutil::JsonObject::Shared getAsQELBody() const override {
        return m_body ? m_body->clone() : qelutil::JsonFactory::createJsonObject();
    }

private:
    qelutil::JsonObject::Shared m_body;
};

/// An element kept as the JSON the server sent. Unlike the plain object it
/// accepts any member types: id, name and uri are taken only when they are
/// strings, so every element can be shown.
class JsonElement : public qel::XObject<qel::XObjectDescriptor> {
public:
    explicit JsonElement(qelutil::JsonObject::Shared json) {
        m_pJson = json;
        if (!json) return;
        if (json->isString("id")) desc.setId(json->getString("id"));
        if (json->isString("name")) desc.setName(json->getString("name"));
        if (json->isString("uri")) desc.setUri(json->getString("uri"));
    }

    qelutil::JsonObject::Shared json() const { return m_pJson; }
};

}  // namespace qelcli
