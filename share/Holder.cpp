#include "share/Holder.h"

#include "share/Operations.h"
#include "share/Request.h"

#include "board/RelayMap.h"
#include "model/Failure.h"
#include "model/StepText.h"

#include <QJsonDocument>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <poll.h>
#include <sstream>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace share {

namespace {

constexpr int kWatchPollMs = 20; // how often watchers are told of a change

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

bool fits(const std::string& path) {
    return path.size() < sizeof(sockaddr_un::sun_path);
}

constexpr char kSystemFolder[] = "/run/tambrook";

bool isSystemFolder(const std::string& folder) {
    return folder == kSystemFolder;
}

// Whether a process is in a group, as its primary or one of its supplementary groups.
bool inGroup(const ucred& peer, gid_t group) {
    if (peer.gid == group)
        return true;
    std::ifstream status("/proc/" + std::to_string(peer.pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Groups:", 0) != 0)
            continue;
        std::istringstream groups(line.substr(7));
        for (gid_t member = 0; groups >> member;)
            if (member == group)
                return true;
    }
    return false;
}

// A peer of the same user, or root, may speak to the holder; to a system service, also a member
// of the service's group (the boards' group).
bool mayConnect(int fd, bool systemService) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return false;
    return peer.uid == ::getuid() || peer.uid == 0 || (systemService && inGroup(peer, ::getegid()));
}

QJsonObject errorReply(const QString& why) {
    return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), why}};
}

std::string lineOf(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + '\n';
}

} // namespace

// A user's own runtime folder; without one (a system service), /run/tambrook when this process
// may have it (root, or the service user systemd made it for).
std::string socketFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/tambrook";
    struct stat info {};
    if (::geteuid() == 0 ||
        (::stat(kSystemFolder, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid()))
        return kSystemFolder;
    return "/tmp/tambrook-" + std::to_string(::getuid());
}

// A serial number may hold any character: in the file's name, "/" and control characters
// become "_".
std::string socketName(const std::string& boardId) {
    std::string name = boardId;
    for (char& c : name)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20)
            c = '_';
    return name + ".sock";
}

std::string socketPath(const std::string& boardId) {
    return socketFolder() + '/' + socketName(boardId);
}

// ---- the server --------------------------------------------------------------------------------

struct BoardServer::Client {
    int fd = -1;
    std::string in;
    std::string out;
    bool discarding = false; // the rest of a line that was too long
    bool watching = false;
    std::uint64_t versionSeen = 0;
};

BoardServer::BoardServer(model::Model& model, std::string boardId, std::string kind, Runner runner,
                         Log log)
    : model_(model)
    , id_(std::move(boardId))
    , kind_(std::move(kind))
    , runner_(std::move(runner))
    , log_(std::move(log))
    , path_(socketPath(id_)) {
    const std::string folder = socketFolder();
    // A user's folder is the user's alone; a system service's is open to its group.
    systemService_ = isSystemFolder(folder);
    ::mkdir(folder.c_str(), systemService_ ? 0750 : 0700);
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::getuid() || (info.st_mode & (systemService_ ? 0007 : 0077)) != 0) {
        failure_ = "the folder " + folder + " is not this user's own";
        return;
    }
    if (!fits(path_)) {
        failure_ = "the socket path " + path_ + " is too long";
        return;
    }
    // A socket that answers belongs to a live holder; one that does not was left by a holder
    // that died, and is replaced.
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = addressOf(path_);
    const bool alive =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (alive) {
        failure_ = "another holder serves " + id_;
        return;
    }
    ::unlink(path_.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 16) != 0) {
        failure_ = "cannot listen on " + path_ + ": " + std::strerror(errno);
        ::close(listenFd_);
        listenFd_ = -1;
        return;
    }
    ::chmod(path_.c_str(), systemService_ ? 0660 : 0600);
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    thread_ = std::thread([this] { serve(); });
}

BoardServer::~BoardServer() {
    quit_ = true;
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
    }
    if (thread_.joinable())
        thread_.join();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(path_.c_str());
    }
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void BoardServer::run(const std::function<void()>& operation) {
    if (runner_) {
        runner_(operation);
    } else {
        const model::Model::Lock lock = model_.lockForAction();
        operation();
    }
}

QJsonObject BoardServer::stateOf() const {
    const std::shared_ptr<const model::Snapshot> shown = model_.snapshot();
    return {
        {QStringLiteral("ok"), true},
        {QStringLiteral("id"), QString::fromStdString(id_)},
        {QStringLiteral("holder"), QString::fromStdString(kind_)},
        {QStringLiteral("pid"), static_cast<qint64>(::getpid())},
        {QStringLiteral("present"), shown->boardFound},
        {QStringLiteral("relays"), QString::fromStdString(steps::patternOfByte(shown->relayByte))},
        {QStringLiteral("run"), QLatin1String(runName(shown->run))},
        {QStringLiteral("row"), shown->currentRow},
        {QStringLiteral("rows"), shown->rowCount()}};
}

std::string BoardServer::answer(const std::string& line, bool* watch) {
    const QJsonObject reply = replyTo(line, watch);
    if (log_ && !reply.value(QStringLiteral("ok")).toBool())
        log_("a client of " + id_ + ": " +
             reply.value(QStringLiteral("error")).toString().toStdString());
    return lineOf(reply);
}

QJsonObject BoardServer::replyTo(const std::string& line, bool* watch) {
    const std::variant<Request, std::string> parsed = parseRequest(line);
    if (const auto* why = std::get_if<std::string>(&parsed))
        return errorReply(QString::fromStdString(*why));
    const Request& request = std::get<Request>(parsed);
    if (watch)
        *watch = request.kind == Request::Kind::Watch;
    try {
        return handle(request);
    } catch (...) {
        const std::string text = model::failureText(std::current_exception());
        return errorReply(QString::fromLocal8Bit(text.empty() ? "unknown failure" : text));
    }
}

QJsonObject BoardServer::handle(const Request& request) {
    if (request.writes() && !model_.snapshot()->boardFound)
        return errorReply(QStringLiteral("the board is not there (unplugged or not answering); "
                                         "its holder opens it again when it is back"));
    bool written = true;
    std::optional<std::string> refused;
    switch (request.kind) {
    case Request::Kind::State:
    case Request::Kind::Watch:
        break;
    case Request::Kind::Set:
        run([&] { written = setRelays(model_, request.pattern); });
        break;
    case Request::Kind::On:
    case Request::Kind::Off: {
        const Switch how = request.kind == Request::Kind::On ? Switch::On : Switch::Off;
        run([&] { written = switchRelays(model_, request.relays, how); });
        break;
    }
    case Request::Kind::Play:
        run([&] {
            refused = playProgram(model_, request.program, request.resolution, request.repeat);
        });
        break;
    case Request::Kind::Stop:
        run([&] { stopProgram(model_); });
        break;
    case Request::Kind::Pause:
        run([&] { pauseProgram(model_); });
        break;
    case Request::Kind::Resume:
        run([&] { resumeProgram(model_); });
        break;
    }
    if (refused)
        return errorReply(QString::fromStdString(*refused));
    return written ? stateOf() : errorReply(QStringLiteral("the board did not take the write"));
}

void BoardServer::serve() {
    std::list<Client> clients;
    const auto flush = [](Client& client) {
        while (!client.out.empty()) {
            const ssize_t sent = ::send(client.fd, client.out.data(), client.out.size(),
                                        MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent <= 0)
                return errno == EAGAIN || errno == EWOULDBLOCK;
            client.out.erase(0, static_cast<std::size_t>(sent));
        }
        return true;
    };
    const auto send = [&](Client& client, const std::string& line) {
        client.out += line;
        return flush(client) && client.out.size() <= kMaxBacklogBytes;
    };
    const auto readFrom = [&](Client& client) {
        char buffer[4096];
        const ssize_t got = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
            return false;
        if (got < 0)
            return true;
        client.in.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t end; (end = client.in.find('\n')) != std::string::npos;) {
            std::string line = client.in.substr(0, end);
            client.in.erase(0, end + 1);
            if (std::exchange(client.discarding, false))
                continue;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            bool watch = false;
            const std::string reply = answer(line, &watch);
            if (watch) {
                client.watching = true;
                client.versionSeen = model_.snapshot()->version;
            }
            if (!send(client, reply))
                return false;
        }
        if (client.in.size() > kMaxLineBytes) {
            client.in.clear();
            client.discarding = true;
            if (log_)
                log_("a client of " + id_ + ": a line over 64 KiB");
            return send(client, lineOf(errorReply(QStringLiteral("a line over 64 KiB"))));
        }
        return true;
    };
    while (!quit_) {
        std::vector<pollfd> fds{{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        bool watchers = false;
        for (const Client& client : clients) {
            fds.push_back(
                {client.fd, static_cast<short>(POLLIN | (client.out.empty() ? 0 : POLLOUT)), 0});
            watchers = watchers || client.watching;
        }
        if (::poll(fds.data(), fds.size(), watchers ? kWatchPollMs : -1) < 0 && errno != EINTR)
            break;
        std::size_t index = 2;
        const std::uint64_t version = watchers ? model_.snapshot()->version : 0;
        for (auto client = clients.begin(); client != clients.end(); ++index) {
            const short events = fds[index].revents;
            bool keep = !(events & (POLLERR | POLLNVAL));
            if (keep && (events & (POLLIN | POLLHUP)))
                keep = readFrom(*client);
            if (keep && (events & POLLOUT))
                keep = flush(*client) && client->out.size() <= kMaxBacklogBytes;
            if (keep && client->watching && version != client->versionSeen) {
                client->versionSeen = version;
                QJsonObject event = stateOf();
                event.remove(QStringLiteral("ok"));
                event.insert(QStringLiteral("event"), QStringLiteral("state"));
                keep = send(*client, lineOf(event)); // a watcher that reads no more is dropped
            }
            if (keep) {
                ++client;
            } else {
                if (log_ && client->out.size() > kMaxBacklogBytes)
                    log_("a client of " + id_ + " that reads nothing was let go");
                ::close(client->fd);
                client = clients.erase(client);
            }
        }
        // New clients last: the descriptors polled above are those of the clients before them.
        if (fds[0].revents & POLLIN) {
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0 && mayConnect(fd, systemService_)) {
                clients.push_back(Client{fd, {}, {}, false, false, 0});
            } else if (fd >= 0) {
                // Told why, so that its client says so rather than calling the holder busy.
                const std::string refusal = lineOf(errorReply(
                    systemService_ ? QStringLiteral("refused: this holder serves its user, root "
                                                    "and the members of its group")
                                   : QStringLiteral("refused: this holder serves only its own "
                                                    "user and root")));
                ::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                ::close(fd);
            }
        }
    }
    for (const Client& client : clients)
        ::close(client.fd);
}

// ---- the client --------------------------------------------------------------------------------

// A board a system service holds is asked there when the user's own folder has no holder for it.
Answer ask(const std::string& boardId, const QJsonObject& request, int timeoutMs) {
    Answer answer = askAt(socketPath(boardId), request, timeoutMs);
    const std::string system = std::string(kSystemFolder) + '/' + socketName(boardId);
    if (answer.kind == Answer::Kind::Free && system != socketPath(boardId))
        answer = askAt(system, request, timeoutMs);
    return answer;
}

Answer askAt(const std::string& path, const QJsonObject& request, int timeoutMs) {
    Answer answer;
    if (!fits(path))
        return answer;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = addressOf(path);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return answer; // no socket, or one nobody listens on any more
    }
    answer.kind = Answer::Kind::Busy;
    const std::string line = lineOf(request);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string reply;
    // A holder that refuses this peer may have answered and closed before the request is sent:
    // its answer is read all the same.
    ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    while (reply.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buffer[4096];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        reply.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    const std::size_t end = reply.find('\n');
    if (end == std::string::npos)
        return answer;
    answer.kind = Answer::Kind::Answered;
    answer.reply =
        QJsonDocument::fromJson(QByteArray::fromStdString(reply.substr(0, end))).object();
    return answer;
}

} // namespace share
