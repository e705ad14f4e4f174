#pragma once

#include "CliOptions.h"
#include "QelClient.h"

#include <ostream>

namespace qelcli {

/// Subscribes over the service's WebSocket to an element (SERVICE/RESOURCE/ID)
/// or a resource (SERVICE/RESOURCE) and prints every update as it arrives,
/// the first being the current state. Ends after --count updates or --for
/// seconds; a connection that fails or is lost ends it with a transport
/// failure. With --registry it watches through the service registry and an
/// element-registry entry instead: one line per update (time, "update", id,
/// JSON), per element gone and per service notice, and it keeps watching
/// across the loss and return of the service.
void watchTarget(const Options& options, QelClient& client, std::ostream& out);

}  // namespace qelcli
