#pragma once
// The way from gRPC's threads to the session's: a call is queued to the session's thread,
// which answers it now or later (a start waits for the controller); the gRPC thread waits
// for the answer, never the session's thread for gRPC. A client that leaves, or the end of
// the server, ends the wait.
#include <grpcpp/grpcpp.h>

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace vyt {

// One answer made on the session's thread.
template <class Response>
class SessionReply {
public:
    // Session's thread: the answer is complete.
    void finish(const grpc::Status &status = grpc::Status::OK)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_done)
                return;
            m_status = status;
            m_done = true;
        }
        m_ready.notify_all();
    }
    // Session's thread, before finish().
    Response &response() { return m_response; }
    // gRPC's thread: true once finished within the wait; the answer is then in out.
    bool waitFor(std::chrono::milliseconds step, const std::function<bool()> &goOn,
                 grpc::Status *status, Response *out)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_done) {
            if (!goOn())
                return false;
            m_ready.wait_for(lock, step);
        }
        *status = m_status;
        *out = m_response;
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    bool m_done = false;
    grpc::Status m_status;
    Response m_response;
};

class SilaBridge {
public:
    // How long a call may wait for the session at most (a start asks the controller first).
    static constexpr std::chrono::seconds kLongestWait{15};

    explicit SilaBridge(QObject *sessionSide) : m_sessionSide(sessionSide) {}

    // Session's thread, before the server goes: waits end, new calls are turned away.
    void close()
    {
        m_closing = true;
        m_closed.notify_all();
    }
    [[nodiscard]] bool closing() const { return m_closing; }
    // Wakes stream handlers waiting on it when the server closes.
    std::condition_variable &closedSignal() { return m_closed; }

    // gRPC's thread: runs work on the session's thread and waits for its answer.
    template <class Response>
    grpc::Status call(grpc::ServerContext *context, Response *out,
                      std::function<void(const std::shared_ptr<SessionReply<Response>> &)> work)
    {
        if (m_closing)
            return grpc::Status(grpc::StatusCode::UNAVAILABLE, "The program is ending.");
        auto reply = std::make_shared<SessionReply<Response>>();
        // The context object: if the server is gone before the call is taken, it is dropped.
        QMetaObject::invokeMethod(
            m_sessionSide, [reply, work = std::move(work)] { work(reply); }, Qt::QueuedConnection);
        const auto until = std::chrono::steady_clock::now() + kLongestWait;
        grpc::Status status;
        const bool answered = reply->waitFor(
            std::chrono::milliseconds(100),
            [&] {
                return !m_closing && !context->IsCancelled() &&
                       std::chrono::steady_clock::now() < until;
            },
            &status, out);
        if (answered)
            return status;
        if (m_closing)
            return grpc::Status(grpc::StatusCode::UNAVAILABLE, "The program is ending.");
        if (context->IsCancelled())
            return grpc::Status(grpc::StatusCode::CANCELLED, "The client left.");
        return grpc::Status(grpc::StatusCode::UNAVAILABLE, "The program did not answer in time.");
    }

private:
    QObject *m_sessionSide;
    std::atomic<bool> m_closing{false};
    std::condition_variable m_closed;
};

} // namespace vyt
