#pragma once

#include <QelAccessUtility/JsonObject.h>

#include <stdexcept>
#include <string>

namespace qeldev {

/// A request failure that maps to one HTTP status, e.g. 400 for a
/// malformed query; the message goes into the error envelope.
class HttpError : public std::runtime_error {
public:
    HttpError(int status, const std::string& message) : std::runtime_error(message), m_status(status) {}
    int status() const { return m_status; }

private:
    int m_status;
};

/// What the server answers to one request.
struct HttpReply {
    int status = 200;
    /// The JSON text of the body.
    std::string body;
    std::string location;
    /// Value of the Allow header of a 405 reply.
    std::string allow;
    /// Ask the client to close the connection (unread request data).
    bool closeConnection = false;
};

/// The members of a reply envelope other than "paging" and "data".
struct EnvelopeHead {
    int status = 200;
    std::string message;
    std::string type;
    std::string event;
    std::string service;
};

/// Builds the envelope "status", "message", "type", "event", "service",
/// "timestamp", "paging", "data" in that order; a null `paging` or `data`
/// is written as JSON null. "status" carries the HTTP reason phrase.
qelutil::JsonObject::Shared makeEnvelope(const EnvelopeHead& head,
                                         const qelutil::JsonObject* paging);

/// A reply whose body is `envelope` with `data` set by the caller.
HttpReply envelopeReply(int status, const qelutil::JsonObject& envelope);

/// An error envelope with null paging and data.
HttpReply errorReply(int status, const std::string& message, const std::string& service = {});

/// The HTTP reason phrase of `status` ("Unknown" for unassigned codes).
std::string reasonPhrase(int status);

}  // namespace qeldev
