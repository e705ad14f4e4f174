#pragma once

#include <QelAccess/XObjectDescriptor.h>

#include <string>

namespace qel {

/// Addresses a resource of a service, or elements within it.
class QelResourceDescriptor : public XObjectDescriptor {
public:
    QelResourceDescriptor(const std::string& service, const std::string& resource);
    explicit QelResourceDescriptor(const std::string& service);

    qelutil::JsonObject::Shared getAsJson() const override;
};

}  // namespace qel
