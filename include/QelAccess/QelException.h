#pragma once

#include <exception>
#include <string>

namespace qel {

/// The failure of a library operation, stored in response records. Its text
/// is "QelException: <status> <message>", followed by " reason: " and the
/// cause's text when a cause is given, and a final line feed.
class QelException : public std::exception {
public:
    /// `cause` is read only here; the exception does not keep it.
    QelException(const std::string& message, const std::string& statusCode,
                 const std::exception* cause = nullptr);
    ~QelException() override;

    const char* what() const noexcept override;

private:
    std::string m_wht;
    std::string m_message;
    std::string m_status_code;
};

}  // namespace qel
