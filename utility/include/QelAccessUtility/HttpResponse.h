#pragma once

#include <QelAccessUtility/Optional.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace qelutil {

/// Status line and selected headers of one HTTP reply.
struct HttpResponse {
    /// Any numeric status fits; the named ones are those the library treats
    /// specially or logs by name.
    enum StatusCode : int32_t {
        OTHER = 0,
        CONTINUE = 100,
        SWITCHING_PROTOCOLS = 101,
        OK = 200,
        CREATED = 201,
        ACCEPTED = 202,
        MULTIPLE_CHOICES = 300,
        NOT_MODIFIED = 304,
        TEMPORARY_REDIRECT = 307,
        BAD_REQUEST = 400,
        UNAUTHORIZED = 401,
        FORBIDDEN = 403,
        NOT_FOUND = 404,
        REQUEST_TIMEOUT = 408,
        CONFLICT = 409,
        GONE = 410,
        TOO_MANY_REQUESTS = 429,
        REQUEST_HEADER_FIELDS_TOO_LARGE = 431,
        UNAVAILABLE_FOR_LEGAL_REASONS = 451,
        INTERNAL_SERVER_ERROR = 500,
        SERVICE_UNAVAILABLE = 503,
        GATEWAY_TIMEOUT = 504,
        NETWORK_AUTHENTICATION_REQUIRED = 511
    };

    StatusCode status = OTHER;
    std::chrono::system_clock::time_point date = std::chrono::system_clock::now();
    int64_t contentLength = 0;
    Optional<std::string> contentType;
    Optional<std::string> location;
};

}  // namespace qelutil
