#pragma once

#include "CliOptions.h"
#include "QelClient.h"

#include <iosfwd>

namespace qelcli {

/// Runs the command of `options`, printing its result as JSON on `out`.
/// Failures are thrown as CliError.
void runCommand(const Options& options, QelClient& client, std::istream& in, std::ostream& out);

}  // namespace qelcli
