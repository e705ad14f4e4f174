#include "ReplyEnvelope.h"

#include <QelAccessUtility/JsonFactory.h>

#include <map>

namespace qelcli {

namespace {

std::string standardReason(int status) {
    static const std::map<int, std::string> reasons = {{300, "Multiple Choices"},
                                                       {307, "Temporary Redirect"},
                                                       {400, "Bad Request"},
                                                       {401, "Unauthorized"},
                                                       {403, "Forbidden"},
                                                       {404, "Not Found"},
                                                       {405, "Method Not Allowed"},
                                                       {408, "Request Timeout"},
                                                       {409, "Conflict"},
                                                       {410, "Gone"},
                                                       {413, "Payload Too Large"},
                                                       {414, "URI Too Long"},
                                                       {500, "Internal Server Error"},
                                                       {501, "Not Implemented"},
                                                       {502, "Bad Gateway"},
                                                       {503, "Service Unavailable"},
                                                       {504, "Gateway Timeout"}};
    const auto it = reasons.find(status);
    return it == reasons.end() ? std::string() : it->second;
}

/// The member's text, shortened and with control characters replaced, so
/// that a reply cannot garble the terminal.
std::string stringMember(const qelutil::JsonObject::Shared& json, const std::string& key) {
    constexpr std::size_t MAX_LENGTH = 300;
    std::string text = json && json->isString(key) ? json->getString(key) : std::string();
    if (text.size() > MAX_LENGTH) text = text.substr(0, MAX_LENGTH) + "...";
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return text;
}

}  // namespace

qelutil::JsonObject::Shared replyEnvelope(const RecordingSessionFactory::Reply& reply) {
    if (reply.body.empty()) return nullptr;
    try {
        return qelutil::JsonFactory::parseObject(reply.body);
    } catch (const std::exception&) {
        return nullptr;
    }
}

qelutil::JsonObject::Shared replyDataObject(const RecordingSessionFactory::Reply& reply) {
    const auto envelope = replyEnvelope(reply);
    return envelope && envelope->isObject("data") ? envelope->getObject("data") : nullptr;
}

std::string describeStatus(int status, const RecordingSessionFactory::Reply& reply) {
    const auto envelope = reply.status == status ? replyEnvelope(reply) : nullptr;
    std::string reason = stringMember(envelope, "status");
    if (reason.empty()) reason = standardReason(status);
    const std::string message = stringMember(envelope, "message");

    std::string text = std::to_string(status);
    if (!reason.empty()) text += " " + reason;
    if (!message.empty() && message != reason) text += ": " + message;
    return text;
}

}  // namespace qelcli
