#include "http/Server.h"

#include "http/Requests.h"
#include "http/Token.h"

#include "model/ChangeFeed.h"
#include "model/Latin1.h"
#include "service/Programs.h"
#include "service/State.h"

#include <QAbstractHttpServer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QWebSocket>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace http {

namespace {

using Clock = std::chrono::steady_clock;
using Status = QHttpServerResponder::StatusCode;
using Headers = std::vector<std::pair<QByteArray, QByteArray>>;

constexpr auto kEventGap = std::chrono::milliseconds(50); // a board's events at most this often
// What one request may bring, its head included, before it is refused: a body of kMaxBodyBytes
// and a generous head. The socket reads no more than kReadBuffer at a time.
constexpr qint64 kMaxRequestBytes = static_cast<qint64>(kMaxBodyBytes) + 16 * 1024;
constexpr qint64 kReadBuffer = kMaxRequestBytes + 16 * 1024;
constexpr qint64 kMaxUnwrittenBytes = 256 * 1024; // replies a WebSocket client does not read
constexpr int kStreamSendBuffer = 4096; // an event stream needs no more than the newest state
constexpr std::size_t kMaxConnections = 1024;
constexpr std::size_t kMaxPeers = 256;                     // WebSocket clients
constexpr std::size_t kMaxQueued = 64;                     // requests waiting for one board
constexpr auto kIdleConnection = std::chrono::seconds(60); // without a whole request
constexpr auto kDrainAfterRefusal = std::chrono::seconds(2);
constexpr int kMaxFailures = 10; // wrong tokens from one address within kFailureWindow
constexpr auto kFailureWindow = std::chrono::minutes(1);
constexpr auto kBlockedFor = std::chrono::minutes(1);
constexpr std::size_t kMaxAddressesKept = 4096;
constexpr int kMaxProgramRows = 10000; // rows carried in "program"; more are left out
constexpr char kCookie[] = "tambrook_token";
constexpr char kCounted[] = "tambrookCounted"; // bytes of the request being read
constexpr char kHeard[] = "tambrookHeard";     // when its last request was whole (ms)
constexpr char kStreaming[] = "tambrookStreaming";

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray errorBody(const QString& why) {
    return compact({{QStringLiteral("error"), why}});
}

qint64 nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

// Every answer forbids the page to load anything from elsewhere, or to be framed by another.
const Headers& commonHeaders() {
    static const Headers headers{
        {"Content-Security-Policy",
         "default-src 'self'; connect-src 'self'; img-src 'self' data:; style-src 'self'; "
         "script-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; "
         "frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
    };
    return headers;
}

using RowTexts = std::optional<std::vector<std::string>>;

// The rows' step texts, for a page to show the current row among them; nothing for a program too
// long to be shown whole.
RowTexts rowTexts(const model::Snapshot& shown) {
    if (shown.rowCount() > kMaxProgramRows)
        return std::nullopt;
    std::vector<std::string> texts;
    texts.reserve(static_cast<std::size_t>(shown.rowCount()));
    for (int row = 0; row < shown.rowCount(); ++row)
        texts.emplace_back(shown.rowText(row));
    return texts;
}

QJsonValue rowsJson(const RowTexts& texts) {
    if (!texts)
        return QJsonValue(QJsonValue::Undefined);
    QJsonArray rows;
    for (const std::string& text : *texts)
        rows.append(latin1::text(text));
    return rows;
}

// Whether the rows are those sent before but for the current one's text.
bool differsOnlyInCurrentRow(const RowTexts& sent, const model::Snapshot& shown) {
    if (!sent || sent->size() != static_cast<std::size_t>(shown.rowCount()))
        return false;
    for (int row = 0; row < shown.rowCount(); ++row)
        if (row != shown.currentRow && (*sent)[static_cast<std::size_t>(row)] != shown.rowText(row))
            return false;
    return true;
}

// The board's state as the socket tells it, with each relay's labels and, when asked, the rows
// of its program.
QJsonObject stateJson(const service::State& state, const model::Snapshot& shown, bool program) {
    QJsonObject json = service::toJson(state);
    QJsonArray labels;
    for (int relay = 1; relay <= state.relayCount; ++relay) {
        const std::string on = shown.onLabel(relay);
        const std::string off = shown.offLabel(relay);
        labels.append(QJsonObject{{QStringLiteral("on"), latin1::text(on)},
                                  {QStringLiteral("off"), latin1::text(off)}});
    }
    json.insert(QStringLiteral("labels"), labels);
    // The current row's text as it stands: while a step is held it counts its delay down, which
    // the rows sent before do not show.
    json.insert(QStringLiteral("step"), latin1::text(shown.rowText(shown.currentRow)));
    if (const QJsonValue rows = program ? rowsJson(rowTexts(shown)) : QJsonValue(); rows.isArray())
        json.insert(QStringLiteral("program"), rows);
    return json;
}

// A connection's server, its sockets watched from the start: each request is counted as it
// arrives, so that one over the limit is refused before Qt's server has buffered more of it.
template <typename Base> class Guarded final : public Base {
public:
    using Prepare = std::function<bool(QTcpSocket*)>;
    Guarded(QObject* parent, Prepare prepare)
        : Base(parent)
        , prepare_(std::move(prepare)) {}

    // Qt's server takes each connection through this, and connects its reader after.
    QTcpSocket* nextPendingConnection() override {
        while (QTcpSocket* socket = Base::nextPendingConnection())
            if (prepare_(socket))
                return socket;
        return nullptr;
    }

private:
    Prepare prepare_;
};

std::string hostText(const QHostAddress& address) {
    if (address == QHostAddress::AnyIPv4 || address == QHostAddress::Any)
        return "127.0.0.1";
    if (address == QHostAddress::AnyIPv6)
        return "[::1]";
    const std::string text = address.toString().toStdString();
    return address.protocol() == QAbstractSocket::IPv6Protocol ? "[" + text + "]" : text;
}

} // namespace

std::variant<Listen, std::string> parseListen(const std::string& text) {
    Listen listen;
    std::string port = text;
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        std::string address = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
            address = address.substr(1, address.size() - 2);
        if (address == "localhost")
            address = "127.0.0.1";
        if (QHostAddress(QString::fromStdString(address)).isNull())
            return "--http takes [ADDRESS:]PORT, an IP address: " + text;
        listen.address = address;
    }
    bool ok = false;
    const uint number = QString::fromStdString(port).toUInt(&ok);
    if (port.empty() || !ok || number > 65535 ||
        port.find_first_not_of("0123456789") != std::string::npos)
        return "--http takes [ADDRESS:]PORT, a port 0 to 65535: " + text;
    listen.port = static_cast<std::uint16_t>(number);
    return listen;
}

// ---- a board as the server reaches it --------------------------------------------------------

struct Server::Board {
    service::Executor* executor;
    std::string id;
    std::shared_ptr<model::ChangeFeed::Subscription> changes;
    // Held shared while the server reaches the executor, and alone by the front end as it goes.
    std::shared_mutex use;
    bool gone = false; // under use: the front end was let go
};

namespace {

// Runs a board's commands one at a time on a thread of its own, so that a board slow to answer
// (a wedged one holds each call 300 ms) holds up its own clients only, never the server's thread
// nor another board's clients. What waits beyond kMaxQueued is refused.
class Worker {
public:
    Worker() {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            // No thread: every command is refused as busy.
        }
    }
    ~Worker() {
        {
            const std::lock_guard lock(lock_);
            quit_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    bool post(std::function<void()> job) {
        const std::lock_guard lock(lock_);
        if (!thread_.joinable() || jobs_.size() >= kMaxQueued)
            return false;
        jobs_.push_back(std::move(job));
        wake_.notify_one();
        return true;
    }

private:
    void run() {
        std::unique_lock lock(lock_);
        for (;;) {
            wake_.wait(lock, [this] { return quit_ || !jobs_.empty(); });
            if (quit_)
                return;
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_; // under lock_
    bool quit_ = false;                      // under lock_
    std::thread thread_;
};

} // namespace
// ---- the server's thread ---------------------------------------------------------------------

// The server's thread, with its event loop, and the calls other threads hand it: in a queue of its
// own, under a lock of its own, woken through an eventfd. Qt's queued calls would do, but they
// hand over under a lock inside Qt, which ThreadSanitizer cannot see (Qt is not built with it),
// so that every call would look like a race, and a real one would not stand out.
struct Server::Thread final : public QThread {
    Thread()
        : wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        setObjectName(QStringLiteral("http"));
    }
    ~Thread() override {
        quit();
        wait();
        // Qt's wait is hidden from ThreadSanitizer: the thread's last act is to take this lock.
        { const std::lock_guard lock(lock_); }
        if (wake_ >= 0)
            ::close(wake_);
    }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Whether it runs, ready for calls.
    bool begin() {
        if (wake_ < 0)
            return false;
        std::future<void> ready = ready_.get_future();
        start();
        ready.wait();
        return true;
    }
    void post(std::function<void()> call) {
        {
            const std::lock_guard lock(lock_);
            calls_.push_back(std::move(call));
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
    }
    void callAndWait(const std::function<void()>& call) {
        std::promise<void> done;
        std::future<void> finished = done.get_future();
        post([&] {
            call();
            done.set_value();
        });
        finished.wait();
    }

    Engine* engine = nullptr; // made and let go on the thread

protected:
    void run() override {
        {
            QSocketNotifier calls(wake_, QSocketNotifier::Read);
            connect(&calls, &QSocketNotifier::activated, &calls, [this] { takeCalls(); });
            ready_.set_value();
            exec();
        }
        const std::lock_guard lock(lock_);
    }

private:
    void takeCalls() {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(wake_, &count, sizeof count);
        for (;;) {
            std::function<void()> call;
            {
                const std::lock_guard lock(lock_);
                if (calls_.empty())
                    return;
                call = std::move(calls_.front());
                calls_.pop_front();
            }
            call();
        }
    }

    const int wake_;
    std::promise<void> ready_;
    std::mutex lock_;
    std::deque<std::function<void()>> calls_; // under lock_
};
struct Server::Engine final : public QAbstractHttpServer {
    Engine(const Settings& settings, Log log, Thread& thread);
    ~Engine() override;

    std::variant<std::uint16_t, std::string> start();
    void addBoard(const std::shared_ptr<Board>& board);
    void removeBoard(const std::string& id);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct Stream {
        QPointer<QTcpSocket> socket;
        std::uint64_t rowsShown = 0; // the rows version whose program it was sent
        QByteArray lastSent;
        bool behind = false; // a state came while it had not taken the last one
    };
    struct Watch {
        std::shared_ptr<Board> board;
        std::unique_ptr<QSocketNotifier> notifier;
        QTimer poll; // where the change feed has no descriptor
        QTimer gap;
        Clock::time_point lastTold{};
        std::list<Stream> streams;
        // The state last told (without the rows) and its JSON; the rows' JSON, of which version,
        // and the state with them, made when a stream is to be sent them.
        QJsonObject current;
        QByteArray currentBytes;
        QJsonValue program;
        std::uint64_t rowsVersion = 0; // counts the programs made; 0: none yet
        std::uint64_t rowsSeen = 0;    // the model's rows version looked at last, plus one
        RowTexts rowsSent;             // the rows' texts as program last gave them
        QByteArray withProgramBytes;
        std::unique_ptr<Worker> worker; // first to go: its thread ends before the rest
    };
    struct Peer {
        std::unique_ptr<QWebSocket> socket;
        qint64 unwritten = 0;
        std::map<std::string, QByteArray> watching; // board id -> last event sent
        bool behind = false;
    };
    struct Offender {
        std::deque<Clock::time_point> failures;
        Clock::time_point blockedUntil{};
    };
    struct Answer {
        int status = 200;
        QByteArray type = "application/json";
        QByteArray body;
        Headers headers;
        bool later = false; // answered later (by the board's worker), or a stream
    };
    using Done = std::function<void(const Answer&)>;
    enum class Proof { None, Bearer, Cookie, Query };

    bool prepareSocket(QTcpSocket* socket);
    void countIncoming(QTcpSocket* socket);
    void refuseTooLarge(QTcpSocket* socket);
    void sweepIdle();
    void respond(const QHttpServerRequest& request, QTcpSocket* socket, const Answer& answer);
    static Answer error(int status, const QString& why);
    static Answer json(const QJsonObject& object, int status = 200);

    std::optional<Answer> refusal(const QHttpServerRequest& request, bool change, bool upgrade);
    Proof proofOf(const QHttpServerRequest& request) const;
    bool ownOrigin(const QHttpServerRequest& request) const;
    bool blocked(const QHostAddress& address);
    void noteFailure(const QHostAddress& address);

    Answer route(const QHttpServerRequest& request, QTcpSocket* socket);
    Answer page(const QString& name, const QByteArray& type) const;
    Answer boardsList();
    Answer programsList() const;
    Answer boardState(Watch& watch);
    Answer act(Watch& watch, Action action, int relay, const QHttpServerRequest& request,
               QTcpSocket* socket);
    void dispatch(Watch& watch, BodyRequest request, bool relayInPath, Done done);
    Answer carryOut(Board& board, BodyRequest request, bool relayInPath) const;
    Answer openStream(const QHttpServerRequest& request, QTcpSocket* socket, Watch& watch);

    void changed(Watch& watch);
    void tell(Watch& watch);
    void sendTo(Watch& watch, Stream& stream);
    void takePeers();
    void heard(Peer& peer, const QString& message);
    void tellPeer(Peer& peer, const std::string& board);
    void sendToPeer(Peer& peer, const QByteArray& message);

    const Settings settings_;
    const Log log_;
    Thread& thread_;
    const bool tls_;
    const service::ProgramFolder programs_;
    std::map<std::string, std::unique_ptr<Watch>> boards_;
    std::list<Peer> peers_;
    std::map<QString, Offender> offenders_;
    std::set<QPointer<QTcpSocket>> connections_;
    std::optional<Answer> refused_; // why the upgrade just asked for is not made
    QTimer sweep_;
};

Server::Engine::Engine(const Settings& settings, Log log, Thread& thread)
    : settings_(settings)
    , log_(std::move(log))
    , thread_(thread)
    , tls_(!settings.certFile.empty())
    , programs_(settings.programsDir) {
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, [this] { takePeers(); });
    sweep_.setInterval(std::chrono::seconds(10));
    connect(&sweep_, &QTimer::timeout, this, [this] { sweepIdle(); });
    sweep_.start();
}

Server::Engine::~Engine() {
    peers_.clear();
    boards_.clear();
}

std::variant<std::uint16_t, std::string> Server::Engine::start() {
    const auto prepare = [this](QTcpSocket* socket) { return prepareSocket(socket); };
    QTcpServer* server = nullptr;
    if (tls_) {
        if (!QSslSocket::supportsSsl())
            return std::string("this Qt has no TLS backend for --http-cert");
        QFile keyFile(QString::fromLocal8Bit(settings_.keyFile.c_str()));
        if (!keyFile.open(QIODevice::ReadOnly))
            return "cannot read the key " + settings_.keyFile;
        const QByteArray keyText = keyFile.readAll();
        QSslKey key(keyText, QSsl::Rsa, QSsl::Pem);
        if (key.isNull())
            key = QSslKey(keyText, QSsl::Ec, QSsl::Pem);
        const QList<QSslCertificate> chain =
            QSslCertificate::fromPath(QString::fromLocal8Bit(settings_.certFile.c_str()));
        if (chain.isEmpty())
            return "cannot read a certificate from " + settings_.certFile;
        if (key.isNull())
            return "cannot read a private key (PEM, RSA or EC) from " + settings_.keyFile;
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificateChain(chain);
        configuration.setPrivateKey(key);
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        auto* ssl = new Guarded<QSslServer>(this, prepare);
        ssl->setSslConfiguration(configuration);
        server = ssl;
    } else {
        server = new Guarded<QTcpServer>(this, prepare);
    }
    const QHostAddress address(QString::fromStdString(settings_.listen.address));
    if (!server->listen(address, settings_.listen.port)) {
        const std::string why = server->errorString().toStdString();
        delete server;
        return "cannot listen on " + hostText(address) + ":" +
               std::to_string(settings_.listen.port) + ": " + why;
    }
    bind(server);
    return server->serverPort();
}

// ---- connections -----------------------------------------------------------------------------

bool Server::Engine::prepareSocket(QTcpSocket* socket) {
    for (auto it = connections_.begin(); it != connections_.end();)
        it = it->isNull() ? connections_.erase(it) : std::next(it);
    // Past the limit the connection that brought a whole request longest ago makes room (event
    // streams and WebSockets last), so that silent connections cannot shut clients out.
    if (connections_.size() >= kMaxConnections) {
        const auto oldest = std::min_element(
            connections_.begin(), connections_.end(), [](const auto& a, const auto& b) {
                return std::pair(a->property(kStreaming).toBool(),
                                 a->property(kHeard).toLongLong()) <
                       std::pair(b->property(kStreaming).toBool(),
                                 b->property(kHeard).toLongLong());
            });
        if ((*oldest)->property(kStreaming).toBool()) {
            socket->abort();
            socket->deleteLater();
            return false;
        }
        (*oldest)->abort();
        connections_.erase(oldest);
    }
    connections_.insert(socket);
    socket->setReadBufferSize(kReadBuffer);
    socket->setProperty(kCounted, qint64(0));
    socket->setProperty(kHeard, nowMs());
    // Connected before Qt's server connects its own, so it sees each arrival first.
    connect(socket, &QIODevice::readyRead, this, [this, socket] { countIncoming(socket); });
    return true;
}

// Qt's server reads all that has come, so what is available here is what came since it last
// read: the request's bytes so far are their sum, until the request is whole.
void Server::Engine::countIncoming(QTcpSocket* socket) {
    const qint64 counted = socket->property(kCounted).toLongLong() + socket->bytesAvailable();
    socket->setProperty(kCounted, counted);
    if (counted > kMaxRequestBytes)
        refuseTooLarge(socket);
}

// The rest is read and dropped for a while, so that the client, still sending, can read the
// answer rather than have its connection reset under it.
void Server::Engine::refuseTooLarge(QTcpSocket* socket) {
    disconnect(socket, &QIODevice::readyRead, this, nullptr); // Qt's server's reader too
    if (socket->isTransactionStarted())
        socket->commitTransaction();
    const QByteArray body = errorBody(QStringLiteral("a request over 64 KiB"));
    QByteArray head = "HTTP/1.1 413 Payload Too Large\r\nContent-Type: application/json\r\n"
                      "Connection: close\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\n";
    for (const auto& [name, value] : commonHeaders())
        head += name + ": " + value + "\r\n";
    socket->write(head + "\r\n" + body);
    socket->readAll();
    connect(socket, &QIODevice::readyRead, socket, [socket] { socket->readAll(); });
    QTimer::singleShot(kDrainAfterRefusal, socket, [socket] { socket->disconnectFromHost(); });
}

// A connection that has not brought a whole request for a minute is let go; event streams and
// WebSockets (which Qt's server no longer holds) are not.
void Server::Engine::sweepIdle() {
    const qint64 now = nowMs();
    for (const QPointer<QTcpSocket>& socket : connections_)
        if (socket && !socket->property(kStreaming).toBool() &&
            now - socket->property(kHeard).toLongLong() >
                std::chrono::duration_cast<std::chrono::milliseconds>(kIdleConnection).count())
            socket->disconnectFromHost();
}

void Server::Engine::respond(const QHttpServerRequest& request, QTcpSocket* socket,
                             const Answer& answer) {
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(static_cast<Status>(answer.status));
    if (!answer.type.isEmpty())
        responder.writeHeader("Content-Type", answer.type);
    responder.writeHeader("Content-Length", QByteArray::number(answer.body.size()));
    for (const auto& [name, value] : commonHeaders())
        responder.writeHeader(name, value);
    for (const auto& [name, value] : answer.headers)
        responder.writeHeader(name, value);
    responder.writeBody(answer.body);
}

Server::Engine::Answer Server::Engine::error(int status, const QString& why) {
    return {status, "application/json", errorBody(why), {}};
}

Server::Engine::Answer Server::Engine::json(const QJsonObject& object, int status) {
    return {status, "application/json", compact(object), {}};
}

// ---- access ----------------------------------------------------------------------------------

Server::Engine::Proof Server::Engine::proofOf(const QHttpServerRequest& request) const {
    const QByteArray authorization = request.value("authorization");
    if (authorization.startsWith("Bearer ") &&
        sameToken(authorization.mid(7).trimmed().toStdString(), settings_.token))
        return Proof::Bearer;
    for (const QByteArray& cookie : request.value("cookie").split(';')) {
        const QByteArray pair = cookie.trimmed();
        if (pair.startsWith(QByteArray(kCookie) + '=') &&
            sameToken(pair.mid(static_cast<qsizetype>(sizeof kCookie)).toStdString(),
                      settings_.token))
            return Proof::Cookie;
    }
    const QString given = request.query().queryItemValue(QStringLiteral("token"));
    if (!given.isEmpty() && sameToken(given.toStdString(), settings_.token))
        return Proof::Query;
    return Proof::None;
}

// The page's own origin is the host the browser asked for, as its Host header names it. Either
// scheme, since behind a proxy that does TLS the browser's is https and this server's is not.
bool Server::Engine::ownOrigin(const QHttpServerRequest& request) const {
    const QByteArray origin = request.value("origin");
    const QByteArray host = request.value("host");
    if (origin.isEmpty() || host.isEmpty())
        return false;
    for (const QByteArray& scheme : {QByteArray("http://"), QByteArray("https://")})
        if (origin.compare(scheme + host, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

bool Server::Engine::blocked(const QHostAddress& address) {
    const auto found = offenders_.find(address.toString());
    return found != offenders_.end() && Clock::now() < found->second.blockedUntil;
}

void Server::Engine::noteFailure(const QHostAddress& address) {
    const auto now = Clock::now();
    if (offenders_.size() >= kMaxAddressesKept)
        for (auto it = offenders_.begin(); it != offenders_.end();)
            it =
                it->second.blockedUntil < now && (it->second.failures.empty() ||
                                                  it->second.failures.back() < now - kFailureWindow)
                    ? offenders_.erase(it)
                    : std::next(it);
    if (offenders_.size() >= kMaxAddressesKept)
        offenders_.erase(offenders_.begin());
    Offender& offender = offenders_[address.toString()];
    offender.failures.push_back(now);
    while (offender.failures.front() < now - kFailureWindow)
        offender.failures.pop_front();
    if (offender.failures.size() >= static_cast<std::size_t>(kMaxFailures)) {
        offender.failures.clear();
        offender.blockedUntil = now + kBlockedFor;
        if (log_)
            log_("http: " + address.toString().toStdString() + " sent " +
                 std::to_string(kMaxFailures) +
                 " wrong or missing tokens within a minute; it is refused for a minute");
    }
}

// Why a request is not let in, or nothing: a token is needed everywhere (the bearer header, the
// page's cookie, or ?token= where a browser is sent to the page); a change needs the bearer
// header, or the cookie from a page of this server's own origin; a WebSocket from a page of
// another origin is never upgraded.
std::optional<Server::Engine::Answer> Server::Engine::refusal(const QHttpServerRequest& request,
                                                              bool change, bool upgrade) {
    const QHostAddress address = request.remoteAddress();
    if (blocked(address))
        return error(429, QStringLiteral("too many wrong tokens from this address; try again in "
                                         "a minute"));
    const Proof proof = proofOf(request);
    if (proof == Proof::None) {
        noteFailure(address);
        Answer refused = error(401, QStringLiteral("a token is needed: the Authorization header "
                                                   "\"Bearer TOKEN\", or the page's address as "
                                                   "serve logged it"));
        refused.headers.emplace_back("WWW-Authenticate", "Bearer");
        return refused;
    }
    const bool hasOrigin = !request.value("origin").isEmpty();
    if (upgrade && hasOrigin && !ownOrigin(request))
        return error(403, QStringLiteral("a WebSocket from another origin"));
    if (upgrade && !hasOrigin && proof != Proof::Bearer)
        return error(403, QStringLiteral("a WebSocket without an Origin needs the bearer header"));
    if (change && proof != Proof::Bearer && !ownOrigin(request))
        return error(403, QStringLiteral("a change needs the Authorization header, or the page's "
                                         "cookie from the page's own origin"));
    return std::nullopt;
}

// ---- requests --------------------------------------------------------------------------------

bool Server::Engine::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    socket->setProperty(kCounted, qint64(0));
    socket->setProperty(kHeard, nowMs());
    const bool upgrade = request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
    if (upgrade) {
        refused_ = request.url().path() == QLatin1String("/api/v1/ws")
                       ? refusal(request, false, true)
                       : error(404, QStringLiteral("no WebSocket here; it is /api/v1/ws"));
        if (refused_)
            return false;
        socket->setProperty(kStreaming, true);
        return true;
    }
    if (request.body().size() > static_cast<qsizetype>(kMaxBodyBytes)) {
        respond(request, socket, error(413, QStringLiteral("a request over 64 KiB")));
        return true;
    }
    const auto method = request.method();
    const bool change = method == QHttpServerRequest::Method::Post ||
                        method == QHttpServerRequest::Method::Put ||
                        method == QHttpServerRequest::Method::Delete;
    if (const std::optional<Answer> refused = refusal(request, change, false)) {
        respond(request, socket, *refused);
        return true;
    }
    const Answer answer = route(request, socket);
    if (!answer.later)
        respond(request, socket, answer);
    return true;
}

void Server::Engine::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    respond(
        request, socket,
        std::exchange(refused_, std::nullopt).value_or(error(404, QStringLiteral("not found"))));
}

namespace {

// The path's pieces, each decoded: a board's id may hold a "/" written %2F.
QStringList piecesOf(const QUrl& url) {
    QStringList pieces;
    for (const QString& piece :
         url.path(QUrl::FullyEncoded).split(QLatin1Char('/'), Qt::SkipEmptyParts))
        pieces.append(QUrl::fromPercentEncoding(piece.toLatin1()));
    return pieces;
}

std::optional<int> relayOf(const QString& text) {
    bool ok = false;
    const int relay = text.toInt(&ok);
    if (!ok || relay < 1 || relay > devices::kRelayCount || text != QString::number(relay))
        return std::nullopt;
    return relay;
}

} // namespace

Server::Engine::Answer Server::Engine::route(const QHttpServerRequest& request,
                                             QTcpSocket* socket) {
    using Method = QHttpServerRequest::Method;
    const Method method = request.method();
    const QStringList pieces = piecesOf(request.url());
    const auto wrongMethod = [](const QByteArray& allowed) {
        Answer answer =
            error(405, QStringLiteral("this address takes ") + QString::fromLatin1(allowed));
        answer.headers.emplace_back("Allow", allowed);
        return answer;
    };
    const bool get = method == Method::Get;

    if (pieces.size() <= 1 &&
        (pieces.isEmpty() || pieces[0] == QLatin1String("index.html") ||
         pieces[0] == QLatin1String("app.js") || pieces[0] == QLatin1String("style.css"))) {
        if (!get)
            return wrongMethod("GET");
        // The token leaves the address bar for a cookie only this server's pages send.
        if (proofOf(request) == Proof::Query) {
            QByteArray cookie = QByteArray(kCookie) + '=' +
                                QByteArray::fromStdString(settings_.token) +
                                "; HttpOnly; SameSite=Strict; Path=/; Max-Age=31536000";
            if (tls_)
                cookie += "; Secure";
            QUrl back = request.url();
            QUrlQuery query(back);
            query.removeAllQueryItems(QStringLiteral("token"));
            back.setQuery(query);
            Answer answer{303, "text/plain", "See /\n", {}};
            answer.headers.emplace_back("Set-Cookie", cookie);
            answer.headers.emplace_back(
                "Location", back.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority).isEmpty()
                                ? QByteArray("/")
                                : back.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority));
            return answer;
        }
        if (pieces.isEmpty() || pieces[0] == QLatin1String("index.html"))
            return page(QStringLiteral("index.html"), "text/html; charset=utf-8");
        if (pieces[0] == QLatin1String("app.js"))
            return page(QStringLiteral("app.js"), "text/javascript; charset=utf-8");
        return page(QStringLiteral("style.css"), "text/css; charset=utf-8");
    }
    if (pieces.size() < 3 || pieces[0] != QLatin1String("api") || pieces[1] != QLatin1String("v1"))
        return error(404, QStringLiteral("not found"));
    if (pieces.size() == 3 && pieces[2] == QLatin1String("boards"))
        return get ? boardsList() : wrongMethod("GET");
    if (pieces.size() == 3 && pieces[2] == QLatin1String("programs"))
        return get ? programsList() : wrongMethod("GET");
    if (pieces.size() == 3 && pieces[2] == QLatin1String("ws"))
        return error(400, QStringLiteral("a WebSocket is asked for with an Upgrade"));
    if (pieces[2] != QLatin1String("boards"))
        return error(404, QStringLiteral("not found"));

    const auto found = boards_.find(pieces[3].toStdString());
    if (found == boards_.end())
        return error(404, QStringLiteral("no board ") + pieces[3]);
    Watch& watch = *found->second;
    const QStringList rest = pieces.mid(4);
    const auto act = [&](Action action, int relay = 0) {
        return this->act(watch, action, relay, request, socket);
    };
    if (rest.isEmpty())
        return get ? boardState(watch) : wrongMethod("GET");
    if (rest.size() == 1 && rest[0] == QLatin1String("events"))
        return get ? openStream(request, socket, watch) : wrongMethod("GET");
    if (rest.size() == 1 && rest[0] == QLatin1String("relays"))
        return method == Method::Put ? act(Action::SetRelays) : wrongMethod("PUT");
    if (rest[0] == QLatin1String("relays") && rest.size() <= 3) {
        const std::optional<int> relay = relayOf(rest[1]);
        if (!relay)
            return error(404, QStringLiteral("no relay ") + rest[1] +
                                  QStringLiteral(" (relays are 1 to 8)"));
        if (rest.size() == 2)
            return method == Method::Put ? act(Action::SwitchRelay, *relay) : wrongMethod("PUT");
        if (rest[2] == QLatin1String("pulse"))
            return method == Method::Post ? act(Action::PulseRelay, *relay) : wrongMethod("POST");
    }
    if (rest[0] == QLatin1String("program") && rest.size() <= 2) {
        if (method != Method::Post)
            return wrongMethod("POST");
        if (rest.size() == 1)
            return act(Action::Play);
        if (rest[1] == QLatin1String("stop"))
            return act(Action::Stop);
        if (rest[1] == QLatin1String("pause"))
            return act(Action::Pause);
        if (rest[1] == QLatin1String("resume"))
            return act(Action::Resume);
    }
    return error(404, QStringLiteral("not found"));
}

Server::Engine::Answer Server::Engine::page(const QString& name, const QByteArray& type) const {
    QFile file(QStringLiteral(":/page/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return error(404, QStringLiteral("not found"));
    return {200, type, file.readAll(), {}};
}

Server::Engine::Answer Server::Engine::boardsList() {
    QJsonArray boards;
    for (auto& [id, watch] : boards_) {
        const std::shared_lock use(watch->board->use);
        if (watch->board->gone)
            continue;
        const service::State state = watch->board->executor->state();
        boards.append(stateJson(state, *watch->board->executor->model().snapshot(), false));
    }
    return json({{QStringLiteral("boards"), boards}});
}

Server::Engine::Answer Server::Engine::programsList() const {
    QJsonArray names;
    for (const std::string& name : programs_.names())
        names.append(QString::fromLocal8Bit(name.c_str()));
    return json({{QStringLiteral("programs"), names}});
}

Server::Engine::Answer Server::Engine::boardState(Watch& watch) {
    const std::shared_lock use(watch.board->use);
    if (watch.board->gone)
        return error(404, QStringLiteral("no board ") + QString::fromStdString(watch.board->id));
    const service::State state = watch.board->executor->state();
    return json(stateJson(state, *watch.board->executor->model().snapshot(), true));
}

Server::Engine::Answer Server::Engine::act(Watch& watch, Action action, int relay,
                                           const QHttpServerRequest& request, QTcpSocket* socket) {
    const QByteArray body = request.body();
    std::variant<BodyRequest, std::string> read = readBody(
        action, relay, std::string_view(body.constData(), static_cast<std::size_t>(body.size())));
    if (const auto* why = std::get_if<std::string>(&read))
        return error(400, QString::fromStdString(*why));
    // The request lives as long as its socket, which is looked at first.
    const QPointer<QTcpSocket> target(socket);
    const QHttpServerRequest* asked = &request;
    dispatch(watch, std::get<BodyRequest>(std::move(read)),
             action == Action::SwitchRelay || action == Action::PulseRelay,
             [this, target, asked](const Answer& answer) {
                 if (target && target->state() == QAbstractSocket::ConnectedState)
                     respond(*asked, target, answer);
             });
    Answer later;
    later.later = true;
    return later;
}

// The command goes to the board's worker; its answer comes back to this thread.
void Server::Engine::dispatch(Watch& watch, BodyRequest request, bool relayInPath, Done done) {
    const std::shared_ptr<Board> board = watch.board;
    const bool posted = watch.worker->post([this, board, request, relayInPath, done] {
        Answer answer = carryOut(*board, request, relayInPath);
        thread_.post([done, answer] { done(answer); });
    });
    if (!posted)
        done(error(503, QStringLiteral("too many requests wait for ") +
                            QString::fromStdString(board->id)));
}

// On the board's worker: nothing here touches the server's own state.
Server::Engine::Answer Server::Engine::carryOut(Board& board, BodyRequest request,
                                                bool relayInPath) const {
    service::Command& command = request.command;
    // A program named is read before the board is reached, and never from outside the folder.
    if (!request.programName.empty()) {
        const std::optional<std::string> text = programs_.read(request.programName);
        if (!text)
            return error(404, programs_.isSet()
                                  ? QStringLiteral("no program ") +
                                        QString::fromStdString(request.programName) +
                                        QStringLiteral(" in the programs folder")
                                  : QStringLiteral("serve was given no --programs folder"));
        command.program = *text;
    }
    const std::shared_lock use(board.use);
    if (board.gone)
        return error(404, QStringLiteral("no board ") + QString::fromStdString(board.id));
    const service::State before = board.executor->state();
    if (command.writes() && !before.present)
        return error(409, QString::fromStdString(board.id) +
                              QStringLiteral(" is not there (unplugged or not answering)"));
    if (const std::optional<std::string> why = service::relayProblem(command, before))
        return error(relayInPath ? 404 : 400, QString::fromStdString(*why));
    if (command.kind == service::Command::Kind::Pulse && !command.pulse)
        for (const int relay : command.relays)
            if (!board.executor->defaultPulse(relay))
                return error(400, QStringLiteral("relay %1 has no pulse length: give \"ms\", or "
                                                 "set relay%1.pulse in boards.conf")
                                      .arg(relay));
    // The executor checks a program whole (its steps, its relays, the interlocks) and says so.
    const service::Reply reply = board.executor->execute(command);
    if (!reply.ok) {
        const bool present = board.executor->model().snapshot()->boardFound;
        Answer answer = error(reply.badInput ? 400
                              : present      ? 502
                                             : 409,
                              QString::fromLocal8Bit(reply.error));
        if (reply.interlock)
            answer.body = compact({{QStringLiteral("error"), QString::fromLocal8Bit(reply.error)},
                                   {QStringLiteral("interlock"), true}});
        return answer;
    }
    return json(stateJson(reply.state, *board.executor->model().snapshot(), false));
}

// ---- event streams ---------------------------------------------------------------------------

Server::Engine::Answer Server::Engine::openStream(const QHttpServerRequest& request,
                                                  QTcpSocket* socket, Watch& watch) {
    {
        const std::shared_lock use(watch.board->use);
        if (watch.board->gone)
            return error(404,
                         QStringLiteral("no board ") + QString::fromStdString(watch.board->id));
    } // The oldest goes at once: one that does not read would linger with what it was sent.
    if (watch.streams.size() >= settings_.streamsPerBoard) {
        if (QTcpSocket* oldest = watch.streams.front().socket) {
            disconnect(oldest, &QIODevice::bytesWritten, nullptr, nullptr);
            oldest->abort();
        }
        watch.streams.pop_front();
    }
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(Status::Ok);
    responder.writeHeader("Content-Type", "text/event-stream");
    for (const auto& [name, value] : commonHeaders())
        responder.writeHeader(name, value);
    responder.writeHeader("X-Accel-Buffering", "no"); // a reverse proxy passes each event on
    responder.writeBody("retry: 1000\n\n");
    socket->setProperty(kStreaming, true);
    const int buffer = kStreamSendBuffer;
    ::setsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_SNDBUF, &buffer,
                 sizeof buffer);
    Stream& stream = watch.streams.emplace_back();
    stream.socket = socket;
    Watch* watched = &watch;
    connect(socket, &QIODevice::bytesWritten, socket, [this, watched, socket] {
        if (socket->bytesToWrite() > 0)
            return;
        for (Stream& each : watched->streams)
            if (each.socket == socket && std::exchange(each.behind, false))
                sendTo(*watched, each);
    });
    tell(watch);
    Answer streaming;
    streaming.later = true;
    return streaming;
}

void Server::Engine::addBoard(const std::shared_ptr<Board>& board) {
    auto watch = std::make_unique<Watch>();
    watch->board = board;
    watch->worker = std::make_unique<Worker>();
    Watch* watched = watch.get();
    watch->gap.setSingleShot(true);
    connect(&watch->gap, &QTimer::timeout, this, [this, watched] { tell(*watched); });
    if (board->changes->fd() >= 0) {
        watch->notifier =
            std::make_unique<QSocketNotifier>(board->changes->fd(), QSocketNotifier::Read);
        connect(watch->notifier.get(), &QSocketNotifier::activated, this,
                [this, watched] { changed(*watched); });
    } else {
        watch->poll.setInterval(kEventGap);
        connect(&watch->poll, &QTimer::timeout, this, [this, watched] { changed(*watched); });
        watch->poll.start();
    }
    boards_[board->id] = std::move(watch);
}

void Server::Engine::removeBoard(const std::string& id) {
    const auto found = boards_.find(id);
    if (found == boards_.end())
        return;
    for (const Stream& stream : found->second->streams)
        if (stream.socket) {
            disconnect(stream.socket, &QIODevice::bytesWritten, nullptr, nullptr);
            stream.socket->abort();
        }
    for (Peer& peer : peers_)
        peer.watching.erase(id);
    boards_.erase(found);
}

// A change after a quiet spell goes out at once; then at most every kEventGap, so a program
// stepping every millisecond costs its clients 20 states a second.
void Server::Engine::changed(Watch& watch) {
    if (!watch.board->changes->changed() || watch.gap.isActive())
        return;
    const auto since = Clock::now() - watch.lastTold;
    if (since >= kEventGap)
        tell(watch);
    else
        watch.gap.start(std::chrono::duration_cast<std::chrono::milliseconds>(kEventGap - since) +
                        std::chrono::milliseconds(1));
}

void Server::Engine::tell(Watch& watch) {
    watch.lastTold = Clock::now();
    {
        const std::shared_lock use(watch.board->use);
        if (watch.board->gone)
            return;
        const std::shared_ptr<const model::Snapshot> shown =
            watch.board->executor->model().snapshot();
        watch.current = stateJson(watch.board->executor->state(), *shown, false);
        // The rows are made into JSON once for each change of them, not at every step, and not
        // when only the current row's countdown moved, which "step" tells: a running program
        // would otherwise send its every row 20 times a second.
        if (watch.rowsSeen != shown->rowsVersion + 1) {
            watch.rowsSeen = shown->rowsVersion + 1; // 0 stays "never seen"
            if (watch.rowsVersion == 0 || !differsOnlyInCurrentRow(watch.rowsSent, *shown)) {
                watch.rowsSent = rowTexts(*shown);
                watch.program = rowsJson(watch.rowsSent);
                ++watch.rowsVersion;
            }
        }
    }
    watch.currentBytes = compact(watch.current);
    watch.withProgramBytes.clear();
    for (auto it = watch.streams.begin(); it != watch.streams.end();) {
        if (!it->socket || it->socket->state() != QAbstractSocket::ConnectedState) {
            it = watch.streams.erase(it);
            continue;
        }
        sendTo(watch, *it);
        ++it;
    }
    for (Peer& peer : peers_)
        if (peer.watching.count(watch.board->id))
            tellPeer(peer, watch.board->id);
}

// A stream is sent the newest state once it has taken what it was sent before: one that does
// not read holds at most one state here, and gets the newest when it reads again. The rows go
// with it when they changed since it was last sent them.
void Server::Engine::sendTo(Watch& watch, Stream& stream) {
    if (!stream.socket || watch.currentBytes.isEmpty())
        return;
    if (stream.socket->bytesToWrite() > 0) {
        stream.behind = true;
        return;
    }
    const bool rows = stream.rowsShown != watch.rowsVersion;
    if (!rows && watch.currentBytes == stream.lastSent)
        return;
    if (rows && watch.withProgramBytes.isEmpty()) {
        QJsonObject state = watch.current;
        if (watch.program.isArray())
            state.insert(QStringLiteral("program"), watch.program);
        watch.withProgramBytes = compact(state);
    }
    stream.lastSent = watch.currentBytes;
    stream.rowsShown = watch.rowsVersion;
    stream.socket->write("data: " + (rows ? watch.withProgramBytes : watch.currentBytes) + "\n\n");
}

// ---- WebSocket clients -----------------------------------------------------------------------

void Server::Engine::takePeers() {
    while (hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> socket = nextPendingWebSocketConnection();
        if (!socket)
            break;
        if (peers_.size() >= kMaxPeers) {
            peers_.front().socket->abort();
            peers_.pop_front();
        }
        Peer& peer = peers_.emplace_back();
        peer.socket = std::move(socket);
        QWebSocket* raw = peer.socket.get();
        raw->setMaxAllowedIncomingMessageSize(kMaxBodyBytes);
        raw->setMaxAllowedIncomingFrameSize(kMaxBodyBytes);
        Peer* known = &peer;
        connect(raw, &QWebSocket::textMessageReceived, this,
                [this, known](const QString& message) { heard(*known, message); });
        connect(raw, &QWebSocket::binaryMessageReceived, this, [this, known] {
            sendToPeer(*known, compact({{QStringLiteral("ok"), false},
                                        {QStringLiteral("error"),
                                         QStringLiteral("messages are JSON text")}}));
        });
        connect(raw, &QWebSocket::bytesWritten, this, [this, known](qint64 written) {
            // Frames count their heads too: what was written may pass what was sent.
            known->unwritten = std::max<qint64>(0, known->unwritten - written);
            if (known->unwritten <= 0 && std::exchange(known->behind, false))
                for (auto& [board, last] : known->watching)
                    tellPeer(*known, board);
        });
        // Let go once whatever is telling it has returned: it may be gone from within a send.
        connect(raw, &QWebSocket::disconnected, this, [this, raw] {
            QTimer::singleShot(0, this, [this, raw] {
                for (auto it = peers_.begin(); it != peers_.end(); ++it)
                    if (it->socket.get() == raw) {
                        it->socket.release()->deleteLater();
                        peers_.erase(it);
                        return;
                    }
            });
        });
    }
}

void Server::Engine::sendToPeer(Peer& peer, const QByteArray& message) {
    if (peer.unwritten > kMaxUnwrittenBytes) {
        peer.socket->abort(); // it reads none of its replies
        return;
    }
    peer.unwritten += peer.socket->sendTextMessage(QString::fromUtf8(message));
}

void Server::Engine::heard(Peer& peer, const QString& message) {
    const QByteArray text = message.toUtf8();
    const auto fail = [&](const QString& why) {
        sendToPeer(peer, compact({{QStringLiteral("ok"), false}, {QStringLiteral("error"), why}}));
    };
    std::variant<Message, std::string> read =
        readMessage(std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
    if (const auto* why = std::get_if<std::string>(&read))
        return fail(QString::fromStdString(*why));
    Message asked = std::get<Message>(std::move(read));
    const auto found = boards_.find(asked.board);
    if (found == boards_.end())
        return fail(QStringLiteral("no board ") + QString::fromStdString(asked.board));
    const bool watch = asked.command.kind == service::Command::Kind::Watch;
    const QPointer<QWebSocket> target(peer.socket.get());
    const std::string board = asked.board;
    dispatch(*found->second, BodyRequest{std::move(asked.command), {}}, false,
             [this, target, board, watch](const Answer& answer) {
                 const auto known = std::find_if(peers_.begin(), peers_.end(), [&](const Peer& p) {
                     return target && p.socket.get() == target;
                 });
                 if (known == peers_.end())
                     return;
                 QJsonObject reply = QJsonDocument::fromJson(answer.body).object();
                 reply.insert(QStringLiteral("ok"), answer.status == 200);
                 sendToPeer(*known, compact(reply));
                 if (watch && answer.status == 200) {
                     reply.remove(QStringLiteral("ok"));
                     known->watching[board] = compact(reply);
                 }
             });
}

void Server::Engine::tellPeer(Peer& peer, const std::string& board) {
    const auto found = boards_.find(board);
    if (found == boards_.end() || found->second->current.isEmpty())
        return;
    if (peer.unwritten > 0) {
        peer.behind = true;
        return;
    }
    QJsonObject state = found->second->current;
    const QByteArray& shown = found->second->currentBytes;
    QByteArray& last = peer.watching[board];
    if (shown == last)
        return;
    last = shown;
    state.insert(QStringLiteral("event"), QStringLiteral("state"));
    sendToPeer(peer, compact(state));
}

// ---- the server as serve holds it ------------------------------------------------------------

namespace {

class BoardFront final : public service::FrontEnd {
public:
    BoardFront(Server::Thread& thread, std::shared_ptr<Server::Board> board)
        : thread_(thread)
        , board_(std::move(board)) {}
    ~BoardFront() override {
        {
            const std::unique_lock use(board_->use);
            board_->gone = true;
        }
        thread_.callAndWait([this] { thread_.engine->removeBoard(board_->id); });
    }
    BoardFront(const BoardFront&) = delete;
    BoardFront& operator=(const BoardFront&) = delete;

private:
    Server::Thread& thread_;
    std::shared_ptr<Server::Board> board_;
};

} // namespace

std::variant<std::unique_ptr<Server>, std::string> Server::make(Settings settings, Log log) {
    auto server = std::make_unique<Server>(Key{}, std::move(settings), std::move(log));
    if (!server->failure_.empty())
        return server->failure_;
    return server;
}

Server::Server(Key, Settings settings, Log log)
    : thread_(std::make_unique<Thread>())
    , settings_(std::move(settings))
    , log_(std::move(log)) {
    if (!thread_->begin()) {
        failure_ =
            std::string("no thread or descriptor for the HTTP server: ") + std::strerror(errno);
        return;
    }
    thread_->callAndWait([this] {
        thread_->engine = new Engine(settings_, log_, *thread_);
        std::variant<std::uint16_t, std::string> started = thread_->engine->start();
        if (const auto* why = std::get_if<std::string>(&started))
            failure_ = *why;
        else
            port_ = std::get<std::uint16_t>(started);
    });
    const QHostAddress address(QString::fromStdString(settings_.listen.address));
    if (failure_.empty() && log_ && settings_.certFile.empty() && !address.isLoopback())
        log_("http: listening on " + hostText(address) +
             " beyond this machine without TLS: the token and every request cross the network "
             "readable; give --http-cert and --http-key, or put a TLS proxy in front");
}

Server::~Server() {
    if (thread_->isRunning())
        thread_->callAndWait([this] { delete std::exchange(thread_->engine, nullptr); });
}

std::string Server::pageAddress() const {
    const QHostAddress address(QString::fromStdString(settings_.listen.address));
    return std::string(settings_.certFile.empty() ? "http://" : "https://") + hostText(address) +
           ":" + std::to_string(port_) + "/?token=" + settings_.token;
}

std::uint16_t Server::port() const {
    return port_;
}

std::unique_ptr<service::FrontEnd> Server::serve(service::Executor& executor) {
    auto board = std::make_shared<Board>();
    board->executor = &executor;
    board->id = executor.holder().id;
    board->changes = executor.model().changes().subscribe();
    thread_->callAndWait([this, board] { thread_->engine->addBoard(board); });
    return std::make_unique<BoardFront>(*thread_, board);
}

} // namespace http
