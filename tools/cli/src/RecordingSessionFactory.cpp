#include "RecordingSessionFactory.h"

#include <sstream>

namespace qelcli {

namespace {

class RecordingSession : public qelutil::IHttpSession {
public:
    RecordingSession(qelutil::IHttpSession::Shared inner, std::shared_ptr<RecordingSessionFactory::Store> store)
        : m_inner(std::move(inner)), m_store(std::move(store)) {}

    void get(const std::string& path, std::ostream& out, qelutil::HttpResponse& response) override {
        std::ostringstream body;
        m_inner->get(path, body, response);
        deliver(body.str(), out, response);
    }

    void post(const std::string& path, const std::string& requestBody, std::ostream& out,
              qelutil::HttpResponse& response) override {
        std::ostringstream body;
        m_inner->post(path, requestBody, body, response);
        deliver(body.str(), out, response);
    }

    void remove(const std::string& path, std::ostream& out, qelutil::HttpResponse& response) override {
        std::ostringstream body;
        m_inner->remove(path, body, response);
        deliver(body.str(), out, response);
    }

private:
    void deliver(const std::string& body, std::ostream& out, const qelutil::HttpResponse& response) {
        m_store->record({static_cast<int>(response.status), body});
        out << body;
    }

    qelutil::IHttpSession::Shared m_inner;
    std::shared_ptr<RecordingSessionFactory::Store> m_store;
};

}  // namespace

void RecordingSessionFactory::Store::record(Reply reply) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_last = std::move(reply);
}

RecordingSessionFactory::Reply RecordingSessionFactory::Store::last() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_last;
}

RecordingSessionFactory::RecordingSessionFactory(qelutil::IHttpSessionFactory::Shared inner)
    : m_inner(std::move(inner)) {}

qelutil::IHttpSession::Shared RecordingSessionFactory::createSession(const std::string& baseUri) {
    return std::make_shared<RecordingSession>(m_inner->createSession(baseUri), m_store);
}

RecordingSessionFactory::Reply RecordingSessionFactory::lastReply() const {
    return m_store->last();
}

void RecordingSessionFactory::clear() {
    m_store->record(Reply());
}

}  // namespace qelcli
