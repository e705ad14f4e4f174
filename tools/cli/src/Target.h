#pragma once

#include "CliOptions.h"

#include <QelAccess/XObjectDescriptor.h>

#include <string>

namespace qelcli {

/// What a command works on: SERVICE[/RESOURCE[/ID]].
struct Target {
    std::string service;
    std::string resource;
    std::string id;
};

/// Splits `text` at "/" (one leading "/" is allowed) into `minSegments` to
/// `maxSegments` segments. Throws a usage CliError naming `form` when the
/// count is wrong or a segment is empty or holds a blank, a control
/// character, "?" or "#".
Target parseTarget(const std::string& text, int minSegments, int maxSegments, const std::string& form);

/// Puts limit, offset, sort order and property filters into the descriptor.
/// Throws a usage CliError for a malformed item.
void applyReadShaping(const QueryArguments& query, qel::XObjectDescriptor& descriptor);

/// Adds "name=value" items (a value may be a comma list; several items for
/// one name widen it) to the filter; `option` names the option in errors.
void applyFilterItems(const std::vector<std::string>& items, qel::QelFilter& filter, const std::string& option);

/// Puts the returned and expanded fields into the descriptor.
void applyFields(const QueryArguments& query, qel::XObjectDescriptor& descriptor);

}  // namespace qelcli
