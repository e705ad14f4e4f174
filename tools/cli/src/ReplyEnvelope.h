#pragma once

#include "RecordingSessionFactory.h"

#include <QelAccessUtility/JsonObject.h>

#include <string>

namespace qelcli {

/// The parsed envelope of a recorded reply; null when the body is not a
/// JSON object.
qelutil::JsonObject::Shared replyEnvelope(const RecordingSessionFactory::Reply& reply);

/// The envelope's "data" when it is an object; null otherwise.
qelutil::JsonObject::Shared replyDataObject(const RecordingSessionFactory::Reply& reply);

/// "404 Not Found: no element t9 in media/tracks": the status, the reason
/// from the envelope's "status" (or a standard one) and the envelope's
/// "message" when it adds something.
std::string describeStatus(int status, const RecordingSessionFactory::Reply& reply);

}  // namespace qelcli
