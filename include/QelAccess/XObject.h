#pragma once

#include <QelAccess/IXObject.h>
#include <QelAccess/XObjectDescriptor.h>

#include <QelAccessUtility/JsonObject.h>
#include <QelAccessUtility/Optional.h>

#include <memory>
#include <string>

namespace qel {

/// A parsed object bound to a descriptor of type D (XObjectDescriptor or a
/// subclass): filling it from JSON sets the descriptor's id, name and uri.
template <typename D>
class XObject : public IXObject {
public:
    using Desctype = D;

    XObject() = default;
    explicit XObject(const D& descriptor) : desc(descriptor) {}
    /// Fills through this class's own fillFromJson, not a subclass override.
    explicit XObject(qelutil::JsonObject::Shared json) { XObject::fillFromJson(std::move(json)); }
    /// Parses `text`; throws qelutil::JsonException when it is not a JSON object.
    explicit XObject(const std::string& text) { parseJson(text); }
    XObject(const XObject&) = default;
    XObject& operator=(const XObject&) = default;
    ~XObject() override = default;

    const qelutil::Optional<std::string>& getId() const override { return desc.getId(); }
    const qelutil::Optional<std::string>& getUri() const override { return desc.getUri(); }
    const qelutil::Optional<std::string>& getName() const override { return desc.getName(); }

    /// Keeps `json` and takes "id", "name" and "uri" from it, where present.
    /// A member that is not a string raises qelutil::JsonException.
    void fillFromJson(qelutil::JsonObject::Shared json) override {
        m_pJson = std::move(json);
        if (!m_pJson) return;
        const qelutil::JsonObject& object = *m_pJson;
        static const std::string idKey("id"), nameKey("name"), uriKey("uri");
        std::string text;
        if (object.getStringIfPresent(idKey, text)) desc.setId(std::move(text));
        if (object.getStringIfPresent(nameKey, text)) desc.setName(std::move(text));
        if (object.getStringIfPresent(uriKey, text)) desc.setUri(std::move(text));
    }

    virtual D getDescriptor() const { return desc; }

    /// A plain XObject<D> without JSON whose descriptor is a copy of this one
    /// with the given uri and, as id, the text after its last '/' or '\\'.
    virtual std::unique_ptr<XObject<D>> copyWithIdFromUri(const std::string& uri) const {
        D copy(desc);
        std::size_t separator = uri.find_last_of("/\\");
        copy.setId(separator == std::string::npos ? uri : uri.substr(separator + 1));
        copy.setUri(uri);
        return std::make_unique<XObject<D>>(copy);
    }

    /// A generic object with the base part of the descriptor and the same JSON.
    std::shared_ptr<XObject<XObjectDescriptor>> convertToGeneric() const {
        auto generic = std::make_shared<XObject<XObjectDescriptor>>(static_cast<const XObjectDescriptor&>(desc));
        generic->m_pJson = m_pJson;
        return generic;
    }

protected:
    template <typename>
    friend class XObject;

    qelutil::JsonObject::Shared m_pJson;
    D desc;
};

}  // namespace qel
