#pragma once

#include <QelAccess/XObject.h>
#include <QelAccess/XObjectDescriptor.h>

#include <QelAccessUtility/JsonObject.h>

namespace qel {

/// Any element, kept as the JSON object it was filled from.
class GenericXObject : public XObject<XObjectDescriptor> {
public:
    using Desctype = XObjectDescriptor;

    explicit GenericXObject(qelutil::JsonObject::Shared json) : XObject(std::move(json)) {}

    qelutil::JsonObject::Shared getData() const { return m_pJson; }
};

}  // namespace qel
