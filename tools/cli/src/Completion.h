#pragma once

#include "CliOptions.h"

#include <QelAccess/QelResponse.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace qelcli {

/// Joins the callbacks of one accessor call with the main thread: a copy
/// goes into each callback, the main thread waits for the first of them.
template <typename T>
class Completion {
public:
    struct Outcome {
        bool succeeded = false;
        T value{};
        std::shared_ptr<const qel::QelResponse> response;
    };

    void succeed(T value, std::shared_ptr<const qel::QelResponse> response) {
        finish(Outcome{true, std::move(value), std::move(response)});
    }
    void fail(std::shared_ptr<const qel::QelResponse> response) { finish(Outcome{false, T{}, std::move(response)}); }

    /// The outcome; a transport CliError when no callback came within `limit`.
    Outcome wait(std::chrono::milliseconds limit) const {
        std::unique_lock<std::mutex> lock(m_state->mutex);
        if (!m_state->changed.wait_for(lock, limit, [this] { return m_state->done; }))
            throw CliError(EXIT_TRANSPORT, "no answer within " + std::to_string(limit.count() / 1000) + " s");
        return m_state->outcome;
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
        Outcome outcome;
    };

    void finish(Outcome outcome) {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (m_state->done) return;
        m_state->outcome = std::move(outcome);
        m_state->done = true;
        m_state->changed.notify_all();
    }

    std::shared_ptr<State> m_state = std::make_shared<State>();
};

}  // namespace qelcli
