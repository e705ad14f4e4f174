#include "Reply.h"

#include <QelAccessUtility/JsonFactory.h>

#include <Poco/Net/HTTPResponse.h>

#include <chrono>

namespace qeldev {

using qelutil::JsonFactory;
using qelutil::JsonObject;

std::string reasonPhrase(int status) {
    return Poco::Net::HTTPResponse::getReasonForStatus(
        static_cast<Poco::Net::HTTPResponse::HTTPStatus>(status));
}

JsonObject::Shared makeEnvelope(const EnvelopeHead& head, const JsonObject* paging) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    auto envelope = JsonFactory::createJsonObject();
    envelope->setString("status", reasonPhrase(head.status));
    envelope->setString("message", head.message);
    envelope->setString("type", head.type);
    envelope->setString("event", head.event);
    envelope->setString("service", head.service);
    envelope->setLong("timestamp",
                      std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    if (paging) {
        envelope->setObject("paging", *paging);
    } else {
        envelope->setNull("paging");
    }
    envelope->setNull("data");
    return envelope;
}

HttpReply envelopeReply(int status, const JsonObject& envelope) {
    HttpReply reply;
    reply.status = status;
    reply.body = envelope.toString();
    return reply;
}

HttpReply errorReply(int status, const std::string& message, const std::string& service) {
    EnvelopeHead head;
    head.status = status;
    head.message = message;
    head.type = "error";
    head.event = "error";
    head.service = service;
    return envelopeReply(status, *makeEnvelope(head, nullptr));
}

}  // namespace qeldev
