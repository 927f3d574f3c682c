#pragma once

#include "model/ChangeFeed.h"
#include "service/BoardHost.h"
#include "service/Executor.h"

#include <QJsonObject>

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <variant>

// One board, many hands: whoever holds a board serves it on a local socket, one JSON object per
// line each way, so scripts (and other programs) reach the board through its holder instead of
// finding it busy.
namespace share {

struct Request;

// Where the sockets live: $XDG_RUNTIME_DIR/tambrook; for a system service (no XDG_RUNTIME_DIR,
// running as root or as the user systemd made /run/tambrook for) /run/tambrook, open to the
// service's group (mode 0750, sockets 0660); else /tmp/tambrook-UID. A user's folder is its own,
// mode 0700. One that is not (another user made it first) is passed over for a private folder,
// $XDG_STATE_HOME/tambrook/run or ~/.local/state/tambrook/run, by holders and clients alike.
std::string socketFolder();
// A board's socket there: the id is escaped so that different ids never share a name.
std::string socketPath(const std::string& boardId);

// Where a holder tells of clients' errors, one line each.
using Log = std::function<void(const std::string& line)>;

// How many clients a holder keeps at once (beyond that, the one silent the longest is let go,
// watchers last), and how long a client that does not watch may stay silent.
struct ClientLimits {
    std::size_t clients = 256;
    std::chrono::milliseconds idle{60'000};
};

// Serves one held board from a thread of its own: clients' requests go through the board's
// executor, and watchers are told of changes as the model's change feed reports them. It never
// holds the model's lock while it waits for a client.
class BoardServer final : public service::FrontEnd {
public:
    static constexpr std::size_t kMaxLineBytes = 64 * 1024;
    // A play request carries a program file's text (up to 16 MiB), escaped for JSON.
    static constexpr std::size_t kMaxPlayLineBytes = 32 * 1024 * 1024;
    static constexpr std::size_t kMaxBacklogBytes = 256 * 1024; // replies a client does not read

    // The server, serving, or why it cannot (another live holder, no folder, no descriptor left).
    // The executor says which board it serves and who holds it; it outlives the server.
    static std::variant<std::unique_ptr<BoardServer>, std::string>
    make(service::Executor& executor, Log log = {}, ClientLimits limits = {});
    ~BoardServer() override;
    BoardServer(const BoardServer&) = delete;
    BoardServer& operator=(const BoardServer&) = delete;

    // The reply to one request line, as a client gets it (with its line end); watch says
    // whether the line asked to watch.
    std::string answer(const std::string& line, bool* watch = nullptr);

private:
    struct Key {
        explicit Key() = default;
    };

public:
    BoardServer(Key, service::Executor& executor, Log log, ClientLimits limits);

private:
    struct Client;
    bool takeFolder(bool makeParents);
    bool listen();
    void letGo();
    void serve();
    bool readFrom(Client& client, std::string& buffer);
    bool take(Client& client, std::string line);
    bool refuseLongLine(Client& client);
    void acceptClients(std::list<Client>& clients);
    bool mayConnect(int fd) const;
    QJsonObject stateOf() const;
    std::string stateEvent() const;
    QJsonObject replyTo(const std::string& line, bool* watch);
    QJsonObject handle(const Request& request);

    service::Executor& executor_;
    const std::string id_;
    const std::shared_ptr<model::ChangeFeed::Subscription> changes_;
    Log log_;
    const ClientLimits limits_;
    std::string folder_;
    std::string name_; // the socket's file name, the id escaped
    std::string failure_;
    bool systemService_ = false; // serves from /run/tambrook, to the service's group too
    int folderFd_ = -1;          // everything in the folder is reached through it
    int lockFd_ = -1;            // held while it serves: one holder per board
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::chrono::steady_clock::time_point acceptAgain_{}; // after running out of descriptors
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

// What asking a board's holder came to.
struct Answer {
    enum class Kind { Free, Answered, Busy, Untrusted } kind = Kind::Free;
    QJsonObject reply; // when answered
    std::string why;   // when untrusted: what is wrong with the folder or the holder
};

// Sends one request to the holder of boardId and waits at most timeoutMs for its reply (a second
// more for each MiB of a long request: a big program is read and checked first). Free: nobody
// holds the board (no socket, or one its holder left behind); Busy: a holder that does not take
// the request or answer in time; Untrusted: a folder that is not the user's own, a holder of
// another user or of another board; nothing is sent to such a holder.
Answer ask(const std::string& boardId, const QJsonObject& request, int timeoutMs = 1000);
// The same, at one socket, for any board.
Answer askAt(const std::string& socket, const QJsonObject& request, int timeoutMs = 1000);

} // namespace share
