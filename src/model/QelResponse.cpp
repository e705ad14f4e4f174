#include <QelAccess/QelResponse.h>

#include <QelAccess/PagingObject.h>

#include <utility>

namespace qel {

namespace {
std::string textOrInvalid(const std::shared_ptr<std::string>& text) { return text ? *text : "invalid"; }
}  // namespace

std::string QelResponse::MultipleChoice::toString() const {
    return "MultipleChoice{hostAddress=" + textOrInvalid(hostAddress) + ", versions=" + textOrInvalid(versions) +
           ",description=" + textOrInvalid(description) + "}";
}

QelResponse::StatusCode QelResponse::getStatusCode() const { return statusCode; }

void QelResponse::setStatusCode(const StatusCode& statusCode) { this->statusCode = statusCode; }

std::shared_ptr<const std::string> QelResponse::getStatus() const { return status; }

void QelResponse::setStatus(const std::shared_ptr<std::string>& status) { this->status = status; }

const qelutil::Optional<std::string>& QelResponse::getLocation() const { return location; }

void QelResponse::setLocation(const qelutil::Optional<std::string>& location) {
    if (location.isValid())
        this->location = location.getValue();
    else
        this->location.reset();
}

std::shared_ptr<const PagingObject> QelResponse::getPaging() const { return paging; }

void QelResponse::setPaging(std::shared_ptr<PagingObject> paging) { this->paging = std::move(paging); }

std::shared_ptr<const int64_t> QelResponse::getTimestamp() const { return timestamp; }

void QelResponse::setTimestamp(std::shared_ptr<int64_t> timestamp) { this->timestamp = std::move(timestamp); }

std::shared_ptr<const std::string> QelResponse::getMessage() const { return message; }

void QelResponse::setMessage(std::shared_ptr<std::string> message) { this->message = std::move(message); }

std::shared_ptr<const std::string> QelResponse::getType() const { return type; }

void QelResponse::setType(std::shared_ptr<std::string> type) { this->type = std::move(type); }

const std::shared_ptr<const std::string> QelResponse::getEvent() const { return event; }

void QelResponse::setEvent(std::shared_ptr<std::string> event) { this->event = std::move(event); }

const std::shared_ptr<const std::exception> QelResponse::getHttpException() const { return httpException; }

void QelResponse::setHttpException(std::shared_ptr<std::exception> httpException) {
    this->httpException = std::move(httpException);
}

std::shared_ptr<const std::string> QelResponse::getService() const { return service; }

void QelResponse::setService(std::shared_ptr<std::string> service) { this->service = std::move(service); }

std::shared_ptr<std::vector<QelResponse::MultipleChoice>> QelResponse::getMultipleChoices() const {
    return multipleChoices;
}

void QelResponse::setMultipleChoices(const std::shared_ptr<std::vector<MultipleChoice>>& multipleChoices) {
    this->multipleChoices = multipleChoices;
}

}  // namespace qel
