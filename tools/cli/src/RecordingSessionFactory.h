#pragma once

#include <QelAccessUtility/IHttpSessionFactory.h>

#include <memory>
#include <mutex>
#include <string>

namespace qelcli {

/// Hands out the sessions of another factory and keeps the last reply that
/// any of them received. The transport parses reply bodies only for the
/// statuses an operation accepts; the program uses the recorded body to show
/// the server's message of an error reply and the element in the reply to a
/// create, update or delete.
class RecordingSessionFactory : public qelutil::IHttpSessionFactory {
public:
    struct Reply {
        int status = 0;
        std::string body;
    };

    explicit RecordingSessionFactory(qelutil::IHttpSessionFactory::Shared inner);

    qelutil::IHttpSession::Shared createSession(const std::string& baseUri) override;

    /// The last complete reply; status 0 when none arrived since clear().
    Reply lastReply() const;
    void clear();

    /// Shared with the sessions, which may outlive the factory.
    class Store {
    public:
        void record(Reply reply);
        Reply last() const;

    private:
        mutable std::mutex m_mutex;
        Reply m_last;
    };

private:
    qelutil::IHttpSessionFactory::Shared m_inner;
    std::shared_ptr<Store> m_store = std::make_shared<Store>();
};

}  // namespace qelcli
