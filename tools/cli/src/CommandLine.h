#pragma once

#include "CliOptions.h"

#include <optional>

namespace qelcli {

/// Fills `options` from the command line. Returns an exit status when the
/// program should end at once (help printed: 0; usage error printed: 2),
/// nothing when the command should run.
std::optional<int> parseCommandLine(int argc, char** argv, Options& options);

}  // namespace qelcli
