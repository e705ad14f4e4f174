#pragma once

#include <string>

namespace qelcli {

/// Makes the process-wide logger factory write library lines to stderr from
/// `level` on ("trace" to "error"); "off" silences them.
void configureLogging(const std::string& level);

}  // namespace qelcli
