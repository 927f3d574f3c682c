#pragma once

#include "model/Model.h"

#include <QJsonObject>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>

// One board, many hands: whoever holds a board serves it on a local socket, one JSON object per
// line each way, so scripts (and other programs) reach the board through its holder instead of
// finding it busy.
namespace share {

struct Request;

// Where the sockets live: $XDG_RUNTIME_DIR/tambrook; for a system service (no XDG_RUNTIME_DIR,
// running as root or as the user systemd made /run/tambrook for) /run/tambrook, open to the
// service's group (mode 0750, sockets 0660); else /tmp/tambrook-UID. A user's folder is its own,
// mode 0700.
std::string socketFolder();
std::string socketPath(const std::string& boardId);

// Runs one operation of a client on the holder's model, the way the holder runs its own (the
// window on its own thread, under its lock); a failure is thrown back to the caller.
using Runner = std::function<void(const std::function<void()>& operation)>;
// Where a holder tells of clients' errors, one line each.
using Log = std::function<void(const std::string& line)>;

// Serves one held board from a thread of its own. It reads the model's snapshot and runs its
// operations; it never holds the model's lock while it waits for a client.
class BoardServer {
public:
    static constexpr std::size_t kMaxLineBytes = 64 * 1024;
    static constexpr std::size_t kMaxBacklogBytes = 256 * 1024; // a watcher that reads no more

    // kind says who holds it ("window", "play", "serve"); without a runner operations run on the
    // server's thread.
    BoardServer(model::Model& model, std::string boardId, std::string kind, Runner runner = {},
                Log log = {});
    ~BoardServer();
    BoardServer(const BoardServer&) = delete;
    BoardServer& operator=(const BoardServer&) = delete;

    // Empty when it serves; otherwise why it could not (another live holder, no folder).
    const std::string& failure() const { return failure_; }

    // The reply to one request line, as a client gets it (with its line end); watch says
    // whether the line asked to watch.
    std::string answer(const std::string& line, bool* watch = nullptr);

private:
    struct Client;
    void serve();
    QJsonObject stateOf() const;
    QJsonObject replyTo(const std::string& line, bool* watch);
    QJsonObject handle(const Request& request);
    void run(const std::function<void()>& operation);

    model::Model& model_;
    const std::string id_;
    const std::string kind_;
    Runner runner_;
    Log log_;
    std::string path_;
    std::string failure_;
    bool systemService_ = false; // serves from /run/tambrook, to the service's group too
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

// What asking a board's holder came to.
struct Answer {
    enum class Kind { Free, Answered, Busy } kind = Kind::Free;
    QJsonObject reply; // when answered
};

// Sends one request to the holder of boardId and waits at most timeoutMs for its reply. Free:
// nobody holds the board (no socket, or one its holder left behind); Busy: a holder that does not
// answer in time.
Answer ask(const std::string& boardId, const QJsonObject& request, int timeoutMs = 1000);
// The same, at one socket.
Answer askAt(const std::string& socket, const QJsonObject& request, int timeoutMs = 1000);

} // namespace share
