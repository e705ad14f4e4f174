#include <QelAccess/QelException.h>

namespace qel {

QelException::QelException(const std::string& message, const std::string& statusCode, const std::exception* cause)
    : m_wht("QelException: " + statusCode + " " + message), m_message(message), m_status_code(statusCode) {
    if (cause != nullptr) m_wht += std::string(" reason: ") + cause->what();
    m_wht += "\n";
}

QelException::~QelException() = default;

const char* QelException::what() const noexcept { return m_wht.c_str(); }

}  // namespace qel
