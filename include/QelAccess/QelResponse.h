#pragma once

#include <QelAccessUtility/HttpResponse.h>
#include <QelAccessUtility/Optional.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace qel {

class PagingObject;

/// What one transport operation produced: the HTTP status, the members of
/// the reply envelope, a redirect location, the alternatives of a
/// multiple-choice reply and the failure that ended the operation. Fields
/// the reply did not supply stay null or unset. Not locked: the transport
/// fills it before it returns and the caller reads it afterwards.
class QelResponse {
public:
    using StatusCode = qelutil::HttpResponse::StatusCode;

    /// One alternative of a multiple-choice reply; each field may be null.
    struct MultipleChoice {
        std::shared_ptr<std::string> description;
        std::shared_ptr<std::string> hostAddress;
        std::shared_ptr<std::string> versions;

        /// Absent fields are written as "invalid".
        std::string toString() const;
    };

    StatusCode getStatusCode() const;
    void setStatusCode(const StatusCode& statusCode);

    std::shared_ptr<const std::string> getStatus() const;
    void setStatus(const std::shared_ptr<std::string>& status);

    const qelutil::Optional<std::string>& getLocation() const;
    /// Copies the location, or clears it when `location` is unset.
    void setLocation(const qelutil::Optional<std::string>& location);

    std::shared_ptr<const PagingObject> getPaging() const;
    void setPaging(std::shared_ptr<PagingObject> paging);

    std::shared_ptr<const int64_t> getTimestamp() const;
    void setTimestamp(std::shared_ptr<int64_t> timestamp);

    std::shared_ptr<const std::string> getMessage() const;
    void setMessage(std::shared_ptr<std::string> message);

    std::shared_ptr<const std::string> getType() const;
    void setType(std::shared_ptr<std::string> type);

    const std::shared_ptr<const std::string> getEvent() const;
    void setEvent(std::shared_ptr<std::string> event);

    const std::shared_ptr<const std::exception> getHttpException() const;
    void setHttpException(std::shared_ptr<std::exception> httpException);

    std::shared_ptr<const std::string> getService() const;
    void setService(std::shared_ptr<std::string> service);

    /// The stored vector itself, modifiable; null when the reply had none.
    std::shared_ptr<std::vector<MultipleChoice>> getMultipleChoices() const;
    void setMultipleChoices(const std::shared_ptr<std::vector<MultipleChoice>>& multipleChoices);

private:
    StatusCode statusCode = qelutil::HttpResponse::OTHER;
    std::shared_ptr<std::string> status;
    std::shared_ptr<PagingObject> paging;
    std::shared_ptr<int64_t> timestamp;
    std::shared_ptr<std::string> message;
    std::shared_ptr<std::string> type;
    std::shared_ptr<std::string> event;
    std::shared_ptr<std::string> service;
    qelutil::Optional<std::string> location;
    std::shared_ptr<std::vector<MultipleChoice>> multipleChoices;
    std::shared_ptr<std::exception> httpException;
};

}  // namespace qel
