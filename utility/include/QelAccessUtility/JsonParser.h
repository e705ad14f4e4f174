#pragma once

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonObject.h>

#include <cstddef>
#include <memory>
#include <string>

namespace qelutil {

/// The result of a parse. The root objects and arrays it hands out share
/// ownership of the document and stay valid after the document is released.
class JsonDocument {
public:
    using Shared = std::shared_ptr<JsonDocument>;
    virtual ~JsonDocument() = default;

    virtual bool isRootObject() const = 0;
    virtual bool isRootArray() const = 0;
    /// Throws JsonException when the root is not an object.
    virtual JsonObject::Shared getRootObject() const = 0;
    /// Throws JsonException when the root is not an array.
    virtual JsonArray::Shared getRootArray() const = 0;
};

/// Parses JSON text. Malformed text, text with trailing garbage, nesting
/// deeper than the maximum depth and numbers whose exponent cannot be
/// meaningful throw JsonException with the offset and the reason.
class JsonParser {
public:
    using Shared = std::shared_ptr<JsonParser>;
    /// Deepest nesting of objects and arrays a parse accepts.
    static constexpr std::size_t MAX_DEPTH = 128;

    virtual ~JsonParser() = default;
    virtual JsonDocument::Shared parse(const std::string& text) = 0;
    virtual JsonDocument::Shared parse(const char* text, std::size_t length) = 0;
};

}  // namespace qelutil
