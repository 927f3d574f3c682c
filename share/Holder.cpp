#include "share/Holder.h"

#include "share/Request.h"

#include "model/StepText.h"
#include "service/State.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace share {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kWatchGap = std::chrono::milliseconds(20); // watchers are told at most this often
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100); // after running out of descriptors
constexpr int kWatcherSendBuffer = 4096;  // a watcher needs no more than the newest state
constexpr std::size_t kMaxNameBytes = 64; // of an escaped id: its address must fit
constexpr char kSystemFolder[] = "/run/tambrook";

bool isSystemFolder(const std::string& folder) {
    return folder == kSystemFolder;
}

bool isRoot() {
    return ::geteuid() == 0;
}

// A descriptor closed when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd = -1)
        : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

std::string userName(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        return std::string(found->pw_name) + " (uid " + std::to_string(uid) + ")";
    return "uid " + std::to_string(uid);
}

std::string parentOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The user a user's folder must belong to: this one, or for root the owner of the folder above
// it, so that root serving a user's runtime folder leaves nothing there that user cannot use.
uid_t ownerFor(const std::string& folder) {
    struct stat parent {};
    if (isRoot() && ::stat(parentOf(folder).c_str(), &parent) == 0)
        return parent.st_uid;
    return ::getuid();
}

// Why a folder may not be trusted with a user's sockets, or nothing when it may. The system
// folder can only have been made by root (in /run); it must not be open to writing.
std::optional<std::string> distrust(const std::string& folder, const struct stat& info,
                                    uid_t owner) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    if (!S_ISDIR(info.st_mode))
        return folder + " is not a folder";
    if (isSystemFolder(folder))
        return (info.st_mode & 0022)
                   ? std::optional(folder + " may be written by others (mode " + mode + ")")
                   : std::nullopt;
    if (info.st_uid != owner)
        return folder + " belongs to " + userName(info.st_uid) + ", not to " + userName(owner);
    if (info.st_mode & 0077)
        return folder + " is open to other users (mode " + mode + ")";
    return std::nullopt;
}

bool systemService() {
    struct stat info {};
    return isRoot() || (::stat(kSystemFolder, &info) == 0 && S_ISDIR(info.st_mode) &&
                        info.st_uid == ::getuid());
}

// The user's private folder for sockets, where the usual one cannot be trusted.
std::string privateFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state == '/')
        return std::string(state) + "/tambrook/run";
    const char* home = std::getenv("HOME");
    std::string folder = home && *home == '/' ? home : "";
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    if (folder.empty() && ::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 &&
        found)
        folder = found->pw_dir;
    return folder + "/.local/state/tambrook/run";
}

struct FolderChoice {
    std::string folder;
    std::string passedOver; // why the usual folder is not used, when it is not
};

// The same rule for holders and clients: the usual folder while it is missing (a holder makes
// it) or the user's own; else the private one.
FolderChoice chooseFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string usual;
    if (runtime && *runtime)
        usual = std::string(runtime) + "/tambrook";
    else if (systemService())
        return {kSystemFolder, {}};
    else
        usual = "/tmp/tambrook-" + std::to_string(::getuid());
    struct stat info {};
    if (::lstat(usual.c_str(), &info) != 0)
        return {usual, {}};
    const std::optional<std::string> why = distrust(usual, info, ownerFor(usual));
    if (!why)
        return {usual, {}};
    return {privateFolder(), *why};
}

// Bytes other than letters, digits, "-", "_" and "." (and a leading ".") are written %XX, so
// that no two ids share a name ("A/B" and "A_B" did). A name too long for a socket's address
// keeps its beginning and a hash of the whole id after "~", which escaping never writes.
std::string escapedName(const std::string& boardId) {
    std::string name;
    for (const char c : boardId) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') || byte == '-' || byte == '_' ||
                           (byte == '.' && !name.empty());
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
        name += plain ? std::string(1, c) : std::string(escaped);
    }
    if (name.size() <= kMaxNameBytes)
        return name;
    std::uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (const char c : boardId)
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    char suffix[18];
    std::snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(hash));
    return name.substr(0, kMaxNameBytes - 17) + suffix;
}

std::string socketName(const std::string& boardId) {
    return escapedName(boardId) + ".sock";
}

// The address of a file in a folder held open: through the folder's descriptor, so that the
// path is not looked up again (and its length does not count), where /proc is there to allow it.
std::optional<sockaddr_un> addressIn(int folderFd, const std::string& folder,
                                     const std::string& name) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string viaFd = "/proc/self/fd/" + std::to_string(folderFd) + '/' + name;
    const std::string& path = ::access("/proc/self/fd", X_OK) == 0 ? viaFd : folder + '/' + name;
    if (path.size() >= sizeof address.sun_path)
        return std::nullopt;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
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

std::optional<ucred> peerOf(int fd) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return std::nullopt;
    return peer;
}

QJsonObject errorReply(const QString& why) {
    return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), why}};
}

std::string lineOf(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + '\n';
}

// A request's line names the request first, so that a holder knows a long play request for
// what it is before it has read all of it.
std::string requestLine(QJsonObject request) {
    const QJsonValue name = request.take(QStringLiteral("request"));
    std::string head = QJsonDocument(QJsonArray{name}).toJson(QJsonDocument::Compact).toStdString();
    head = head.substr(1, head.size() - 2);
    const std::string rest = QJsonDocument(request).toJson(QJsonDocument::Compact).toStdString();
    return "{\"request\":" + head + (rest.size() > 2 ? ',' + rest.substr(1) : "}") + '\n';
}

} // namespace

std::string socketFolder() {
    return chooseFolder().folder;
}

std::string socketPath(const std::string& boardId) {
    return socketFolder() + '/' + socketName(boardId);
}

// ---- the server --------------------------------------------------------------------------------

struct BoardServer::Client {
    int fd = -1;
    std::string in;          // the line being read
    std::string out;         // what it has not taken yet
    bool discarding = false; // the rest of a line that was too long
    bool watching = false;
    bool hungUp = false;   // it sends nothing more; a watcher may still read
    std::string lastState; // the state a watcher was sent last
    Clock::time_point lastHeard = Clock::now();
};

std::variant<std::unique_ptr<BoardServer>, std::string>
BoardServer::make(service::Executor& executor, Log log, ClientLimits limits) {
    auto server = std::make_unique<BoardServer>(Key{}, executor, std::move(log), limits);
    if (!server->failure_.empty())
        return server->failure_;
    return server;
}

BoardServer::BoardServer(Key, service::Executor& executor, Log log, ClientLimits limits)
    : executor_(executor)
    , id_(executor.holder().id)
    , changes_(executor.model().changes().subscribe())
    , log_(std::move(log))
    , limits_(limits)
    , name_(socketName(id_)) {
    const FolderChoice choice = chooseFolder();
    folder_ = choice.folder;
    if (log_ && !choice.passedOver.empty())
        log_(choice.passedOver + "; serving from " + folder_ + " instead");
    if (takeFolder(!choice.passedOver.empty()) && listen()) {
        wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd_ < 0)
            failure_ = std::string("no descriptor for its server: ") + std::strerror(errno);
        else
            try {
                thread_ = std::thread([this] { serve(); });
            } catch (const std::system_error& error) {
                failure_ = "no thread for its server: " + error.code().message();
            }
    }
    if (!failure_.empty())
        letGo(); // the lock above all, for the holder that comes next
}

namespace {

// What root makes in another user's folder becomes that user's, or that user could not use it.
void giveTo(int fd, uid_t owner) {
    if (owner != ::geteuid() && ::fchown(fd, owner, static_cast<gid_t>(-1)) != 0)
        return; // it stays root's, and that user's holder says so when it cannot use it
}

} // namespace

// The folder is opened once and everything in it is reached through that descriptor, so that a
// folder renamed meanwhile is never mistaken for it. The board's lock there is taken before
// anything else: two holders starting at once cannot both serve.
bool BoardServer::takeFolder(bool makeParents) {
    const std::string& folder = folder_;
    systemService_ = isSystemFolder(folder);
    for (std::size_t slash = folder.find('/', 1); makeParents && slash != std::string::npos;
         slash = folder.find('/', slash + 1))
        ::mkdir(folder.substr(0, slash).c_str(), 0700); // the private folder's, in the home
    const Descriptor parent(::open(parentOf(folder).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (parent.get() < 0) {
        failure_ = "cannot open the folder " + parentOf(folder) + ": " + std::strerror(errno);
        return false;
    }
    const std::string base = folder.substr(folder.rfind('/') + 1);
    const bool made = ::mkdirat(parent.get(), base.c_str(), systemService_ ? 0750 : 0700) == 0;
    folderFd_ =
        ::openat(parent.get(), base.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const uid_t owner = systemService_ ? ::getuid() : ownerFor(folder);
    if (folderFd_ >= 0 && made)
        giveTo(folderFd_, owner);
    struct stat info {};
    if (folderFd_ < 0 || ::fstat(folderFd_, &info) != 0) {
        failure_ = "cannot open the folder " + folder + ": " + std::strerror(errno);
        return false;
    }
    if (const std::optional<std::string> why = distrust(folder, info, owner)) {
        failure_ = *why;
        return false;
    }
    const std::string lock = escapedName(id_) + ".lock";
    lockFd_ =
        ::openat(folderFd_, lock.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lockFd_ >= 0)
        giveTo(lockFd_, owner);
    else
        lockFd_ = ::openat(folderFd_, lock.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (lockFd_ < 0) {
        failure_ = "cannot open the lock " + folder + '/' + lock + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        failure_ = errno == EWOULDBLOCK
                       ? "another holder serves " + id_
                       : "cannot lock " + folder + '/' + lock + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// With the lock held, a socket already there was left by a holder that died, and is replaced.
// The socket is made with its mode (a bind never makes it more open than that); the system
// folder's group needs the bits a umask may have taken, given to the socket found by its
// descriptor and nothing else.
bool BoardServer::listen() {
    const mode_t mode = systemService_ ? 0660 : 0600;
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const std::optional<sockaddr_un> address = addressIn(folderFd_, folder_, name_);
    ::unlinkat(folderFd_, name_.c_str(), 0);
    if (listenFd_ < 0 || !address || ::fchmod(listenFd_, mode) != 0 ||
        ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
        ::listen(listenFd_, 64) != 0) {
        const std::string path = folder_ + '/' + name_;
        failure_ = address ? "cannot listen on " + path + ": " + std::strerror(errno)
                           : "the socket path " + path + " is too long";
        if (listenFd_ >= 0)
            ::close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    if (systemService_) {
        const Descriptor made(::openat(folderFd_, name_.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (made.get() >= 0 && ::fstat(made.get(), &info) == 0 && S_ISSOCK(info.st_mode) &&
            info.st_nlink == 1)
            ::chmod(("/proc/self/fd/" + std::to_string(made.get())).c_str(), mode);
    }
    return true;
}

BoardServer::~BoardServer() {
    quit_ = true;
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
    }
    if (thread_.joinable())
        thread_.join();
    letGo();
}

// The socket goes while the lock is still held, so that it never takes a newer holder's.
void BoardServer::letGo() {
    if (listenFd_ >= 0) {
        ::close(std::exchange(listenFd_, -1));
        ::unlinkat(folderFd_, name_.c_str(), 0);
    }
    for (int* fd : {&wakeFd_, &lockFd_, &folderFd_})
        if (*fd >= 0)
            ::close(std::exchange(*fd, -1));
}

QJsonObject BoardServer::stateOf() const {
    QJsonObject state = service::toJson(executor_.state());
    state.insert(QStringLiteral("ok"), true);
    return state;
}

std::string BoardServer::stateEvent() const {
    QJsonObject event = stateOf();
    event.remove(QStringLiteral("ok"));
    event.insert(QStringLiteral("event"), QStringLiteral("state"));
    return lineOf(event);
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
    if (!request.boardId.empty() && request.boardId != id_)
        return errorReply(
            QString::fromStdString("this holder serves " + id_ + ", not " + request.boardId));
    if (watch)
        *watch = request.kind == Request::Kind::Watch;
    return handle(request);
}

QJsonObject BoardServer::handle(const Request& request) {
    const service::Reply reply = executor_.execute(request);
    if (!reply.ok && reply.interlock) {
        QJsonObject refused = errorReply(QString::fromLocal8Bit(reply.error));
        refused.insert(QStringLiteral("interlock"), true);
        return refused;
    }
    if (!reply.ok)
        return errorReply(QString::fromLocal8Bit(reply.error));
    QJsonObject state = service::toJson(reply.state);
    state.insert(QStringLiteral("ok"), true);
    return state;
}

// A peer of the same user, or root, may speak to the holder; to a system service, also a member
// of the service's group (the boards' group).
bool BoardServer::mayConnect(int fd) const {
    const std::optional<ucred> peer = peerOf(fd);
    return peer && (peer->uid == ::getuid() || peer->uid == 0 ||
                    (systemService_ && inGroup(*peer, ::getegid())));
}

namespace {

// Sends what the client has not taken yet, as far as it takes it now; false when it is gone.
bool flush(std::string& out, int fd) {
    while (!out.empty()) {
        const ssize_t sent = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent <= 0)
            return errno == EAGAIN || errno == EWOULDBLOCK;
        out.erase(0, static_cast<std::size_t>(sent));
    }
    return true;
}

} // namespace

bool BoardServer::take(Client& client, std::string line) {
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    bool watch = false;
    client.out += answer(line, &watch);
    if (watch && !client.watching) {
        client.watching = true;
        client.lastState = stateEvent();
        ::setsockopt(client.fd, SOL_SOCKET, SO_SNDBUF, &kWatcherSendBuffer,
                     sizeof kWatcherSendBuffer);
    }
    return flush(client.out, client.fd);
}

// One error line and one log line for a line too long, however long it goes on.
bool BoardServer::refuseLongLine(Client& client) {
    const bool play = startsPlayRequest(client.in);
    client.in = std::string();
    client.discarding = true;
    const QString why =
        play ? QStringLiteral("a play request over 32 MiB") : QStringLiteral("a line over 64 KiB");
    if (log_)
        log_("a client of " + id_ + ": " + why.toStdString());
    client.out += lineOf(errorReply(why));
    return flush(client.out, client.fd);
}

// Reads what the client sent and answers each line it completes. A play request may be longer
// than other lines; the rest of a line that was too long is dropped up to its end. A client that
// hangs up has its last line answered (even without a line end) and, when it watches, keeps
// being told.
bool BoardServer::readFrom(Client& client, std::string& buffer) {
    const ssize_t got = ::recv(client.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (got == 0) {
        client.hungUp = true;
        return client.discarding || client.in.empty() || take(client, std::exchange(client.in, {}));
    }
    client.lastHeard = Clock::now();
    std::string_view bytes(buffer.data(), static_cast<std::size_t>(got));
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        const std::size_t length = std::min(end, bytes.size());
        if (!client.discarding)
            client.in.append(bytes.substr(0, length));
        bytes.remove_prefix(std::min(length + 1, bytes.size()));
        const std::size_t limit = client.in.size() > kMaxLineBytes && startsPlayRequest(client.in)
                                      ? kMaxPlayLineBytes
                                      : kMaxLineBytes;
        if (client.in.size() > limit && !refuseLongLine(client))
            return false;
        if (end == std::string_view::npos)
            break;
        if (std::exchange(client.discarding, false))
            continue;
        if (!take(client, std::exchange(client.in, {})))
            return false;
    }
    return true;
}

// New clients are taken while there are: past the limit the one silent the longest is let go
// (watchers last), and with no descriptor left the holder waits a little before it tries again
// rather than being woken at once by the same client.
void BoardServer::acceptClients(std::list<Client>& clients) {
    for (int taken = 0; taken < 64; ++taken) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                if (log_ && acceptAgain_ == Clock::time_point{})
                    log_("no file descriptor left for a client of " + id_ + "; new clients wait");
                acceptAgain_ = Clock::now() + kAcceptBackoff;
            }
            return;
        }
        acceptAgain_ = {};
        if (!mayConnect(fd)) {
            // Told why, so that its client says so rather than calling the holder busy.
            const std::string refusal = lineOf(errorReply(
                systemService_ ? QStringLiteral("refused: this holder serves its user, root "
                                                "and the members of its group")
                               : QStringLiteral("refused: this holder serves only its own "
                                                "user and root")));
            ::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(fd);
            continue;
        }
        if (clients.size() >= limits_.clients) {
            const auto oldest = std::min_element(
                clients.begin(), clients.end(), [](const Client& a, const Client& b) {
                    return std::pair(a.watching, a.lastHeard) < std::pair(b.watching, b.lastHeard);
                });
            ::close(oldest->fd);
            clients.erase(oldest);
        }
        clients.emplace_back().fd = fd;
    }
}

// A watcher is sent the state when it differs from the one it was sent last, and only once it
// has taken everything before: one that does not read gets the newest state when it reads again,
// never a backlog of old ones. The model's change feed wakes the server when a state is
// published; a change after a quiet spell goes out at once, and watchers are told at most every
// kWatchGap, so a program stepping every millisecond sends 50 states a second, not 1000.
void BoardServer::serve() {
    std::list<Client> clients;
    std::string buffer(64 * 1024, '\0');
    std::uint64_t versionShown = 0;
    std::string stateShown;
    bool changed = false;          // a state was published that watchers were not looked at for
    auto tellAgain = Clock::now(); // when watchers may be told next
    while (!quit_) {
        auto now = Clock::now();
        const bool accepting = now >= acceptAgain_;
        bool watchers = false;
        for (const Client& client : clients)
            watchers = watchers || client.watching;
        // The feed is listened to only while somebody watches and no change is waiting already.
        const bool listening = watchers && !changed;
        std::vector<pollfd> fds{{listenFd_, static_cast<short>(accepting ? POLLIN : 0), 0},
                                {wakeFd_, POLLIN, 0},
                                {listening ? changes_->fd() : -1, POLLIN, 0}};
        auto wake = accepting ? Clock::time_point::max() : acceptAgain_;
        for (const Client& client : clients) {
            fds.push_back({client.fd,
                           static_cast<short>((client.hungUp ? 0 : POLLIN) |
                                              (client.out.empty() ? 0 : POLLOUT)),
                           0});
            if (!client.watching)
                wake = std::min(wake, client.lastHeard + limits_.idle);
        }
        if (watchers && changed)
            wake = std::min(wake, tellAgain);
        const int timeout =
            wake == Clock::time_point::max()
                ? -1
                : static_cast<int>(std::max<std::int64_t>(
                      0, std::chrono::ceil<std::chrono::milliseconds>(wake - now).count()));
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            break;
        now = Clock::now();
        if (listening && (fds[2].revents & POLLIN))
            changed = changes_->changed() || changed;
        if (changed && now >= tellAgain) {
            changed = false;
            tellAgain = now + kWatchGap;
            if (const std::uint64_t version = executor_.model().snapshot()->version;
                version != versionShown) {
                versionShown = version;
                stateShown = stateEvent();
            }
        }
        std::size_t index = 3;
        for (auto client = clients.begin(); client != clients.end(); ++index) {
            const short events = fds[index].revents;
            bool keep = !(events & (POLLERR | POLLNVAL));
            if (keep && (events & POLLIN))
                keep = readFrom(*client, buffer);
            if (keep && (events & POLLOUT))
                keep = flush(client->out, client->fd);
            if (keep && client->watching && client->out.empty() && !stateShown.empty() &&
                client->lastState != stateShown) {
                client->lastState = stateShown;
                client->out = stateShown;
                keep = flush(client->out, client->fd);
            }
            // Gone for good; answered and gone; silent too long; or not reading its replies.
            if ((events & POLLHUP) || (client->hungUp && !client->watching && client->out.empty()))
                keep = false;
            if (!client->watching && Clock::now() - client->lastHeard >= limits_.idle)
                keep = false;
            if (keep && client->out.size() > kMaxBacklogBytes) {
                if (log_)
                    log_("a client of " + id_ + " that reads nothing was let go");
                keep = false;
            }
            if (keep) {
                ++client;
            } else {
                ::close(client->fd);
                client = clients.erase(client);
            }
        }
        // New clients last: the descriptors polled above are those of the clients before them.
        if (fds[0].revents & POLLIN)
            acceptClients(clients);
    }
    for (const Client& client : clients)
        ::close(client.fd);
}

// ---- the client --------------------------------------------------------------------------------

namespace {

// Connects without waiting on a full queue of a holder that does not take its clients; tries
// again until the deadline.
enum class Connected { Yes, Nobody, Busy };
Connected connectBy(int fd, const sockaddr_un& address, Clock::time_point deadline) {
    for (;;) {
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return Connected::Yes;
        if (errno != EAGAIN && errno != EINTR)
            return Connected::Nobody; // no socket, or one nobody listens on any more
        if (Clock::now() >= deadline)
            return Connected::Busy;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Sends the line and reads one line back, all by the deadline; nothing when it did not come.
std::optional<std::string> exchange(int fd, const std::string& line, Clock::time_point deadline) {
    std::size_t sent = 0;
    std::string reply;
    while (reply.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const bool sending = sent < line.size();
        pollfd pfd{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
            return std::nullopt;
        if (sending && (pfd.revents & POLLOUT)) {
            const ssize_t now = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
            if (now > 0)
                sent += static_cast<std::size_t>(now);
            else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                sent = line.size(); // a holder that refused this peer and closed: its answer
                                    // is read all the same
        }
        if (pfd.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[4096];
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                return std::nullopt;
            if (got > 0)
                reply.append(buffer, static_cast<std::size_t>(got));
        }
    }
    return reply.substr(0, reply.find('\n'));
}

Answer untrusted(std::string why) {
    Answer answer;
    answer.kind = Answer::Kind::Untrusted;
    answer.why = std::move(why);
    return answer;
}

// Asks the holder in one folder, once the folder and then the holder are known to be trusted:
// the user's own folder or the system's, and a holder of this user, of root or (in the system's
// folder) of the service that owns it. boardId, when given, is the board the holder must serve.
Answer askIn(const std::string& folder, const std::string& name, const std::string& boardId,
             const QJsonObject& request, int timeoutMs) {
    const Descriptor folderFd(
        ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (folderFd.get() < 0)
        return errno == ENOENT || errno == EACCES
                   ? Answer{}
                   : untrusted("cannot open " + folder + ": " + std::strerror(errno));
    if (::fstat(folderFd.get(), &info) != 0)
        return Answer{};
    if (const std::optional<std::string> why = distrust(folder, info, ownerFor(folder)))
        return untrusted(*why + "; nothing was sent");
    const std::optional<sockaddr_un> address = addressIn(folderFd.get(), folder, name);
    if (!address)
        return Answer{};
    const std::string line = requestLine(request);
    // A long request is read and checked first: a second more for each MiB of it.
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs) +
                          std::chrono::seconds(line.size() >> 20);
    const Descriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    Answer answer;
    switch (connectBy(fd.get(), *address, deadline)) {
    case Connected::Nobody:
        return answer;
    case Connected::Busy:
        answer.kind = Answer::Kind::Busy;
        return answer;
    case Connected::Yes:
        break;
    }
    const std::optional<ucred> peer = peerOf(fd.get());
    if (!peer || !(peer->uid == ::getuid() || peer->uid == 0 ||
                   (isSystemFolder(folder) && peer->uid == info.st_uid)))
        return untrusted("the holder on " + folder + '/' + name + " runs as " +
                         (peer ? userName(peer->uid) : std::string("an unknown user")) +
                         "; nothing was sent");
    answer.kind = Answer::Kind::Busy;
    const std::optional<std::string> reply = exchange(fd.get(), line, deadline);
    if (!reply)
        return answer;
    answer.kind = Answer::Kind::Answered;
    answer.reply = QJsonDocument::fromJson(QByteArray::fromStdString(*reply)).object();
    const QString id = answer.reply.value(QStringLiteral("id")).toString();
    if (!boardId.empty() && answer.reply.contains(QStringLiteral("id")) &&
        id.toStdString() != boardId)
        return untrusted("the holder on " + folder + '/' + name + " serves " + id.toStdString() +
                         ", not " + boardId);
    return answer;
}

} // namespace

// A board a system service holds is asked there when the user's own folder has no holder for it.
Answer ask(const std::string& boardId, const QJsonObject& request, int timeoutMs) {
    QJsonObject forThisBoard = request;
    forThisBoard.insert(QStringLiteral("id"), QString::fromStdString(boardId));
    const std::string folder = socketFolder();
    const std::string name = socketName(boardId);
    Answer answer = askIn(folder, name, boardId, forThisBoard, timeoutMs);
    if (answer.kind == Answer::Kind::Free && !isSystemFolder(folder))
        answer = askIn(kSystemFolder, name, boardId, forThisBoard, timeoutMs);
    return answer;
}

Answer askAt(const std::string& socket, const QJsonObject& request, int timeoutMs) {
    const std::size_t slash = socket.rfind('/');
    if (slash == std::string::npos)
        return askIn(".", socket, {}, request, timeoutMs);
    return askIn(parentOf(socket), socket.substr(slash + 1), {}, request, timeoutMs);
}

} // namespace share
