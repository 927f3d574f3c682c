#include "support/ModbusServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sched.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr std::uint32_t kPollMicroseconds = 50'000; // how soon the thread sees stop()

int wordAt(const std::uint8_t* bytes) {
    return (bytes[0] << 8) | bytes[1];
}

// The RTU answer's length in bytes: address, function, its data and the CRC.
int answerBytes(int function, int count, bool exception) {
    if (exception)
        return 5;
    if (function == 1)
        return 5 + (count + 7) / 8;
    return 8; // 15, write multiple coils: the first coil and the count echoed
}

} // namespace

ModbusServer::ModbusServer(Kind kind, int coils)
    : kind_(kind)
    , mapping_(modbus_mapping_new(coils, 0, 0, 0)) {}

std::unique_ptr<ModbusServer> ModbusServer::rtu(int address, int coils) {
    auto server = std::make_unique<ModbusServer>(Kind::Rtu, coils);
    if (server->startRtu(address))
        server->thread_ = std::thread([raw = server.get()] { raw->serve(); });
    return server;
}

std::unique_ptr<ModbusServer> ModbusServer::tcp(int coils, int port) {
    auto server = std::make_unique<ModbusServer>(Kind::Tcp, coils);
    if (server->startTcp(port))
        server->thread_ = std::thread([raw = server.get()] { raw->serve(); });
    return server;
}

ModbusServer::~ModbusServer() {
    stop();
    if (context_)
        modbus_free(context_);
    modbus_mapping_free(mapping_);
}

// The slave end stays open here until the test is over: with no slave open, the master reads
// EIO at once and the server would spin on it.
bool ModbusServer::startRtu(int address) {
    char name[128] = {};
    if (::openpty(&farEnd_, &nearEnd_, name, nullptr, nullptr) != 0)
        return false;
    termios raw{};
    ::tcgetattr(nearEnd_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(nearEnd_, TCSANOW, &raw);
    device_ = name;
    context_ = modbus_new_rtu(name, 9600, 'N', 8, 1);
    modbus_set_slave(context_, address);
    modbus_set_socket(context_, farEnd_);
    return true;
}

bool ModbusServer::startTcp(int port) {
    context_ = modbus_new_tcp("127.0.0.1", port);
    listening_ = modbus_tcp_listen(context_, 1);
    if (listening_ < 0)
        return false;
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    ::getsockname(listening_, reinterpret_cast<sockaddr*>(&bound), &size);
    device_ = "tcp://127.0.0.1:" + std::to_string(ntohs(bound.sin_port));
    return true;
}

void ModbusServer::serve() {
    modbus_set_indication_timeout(context_, 0, kPollMicroseconds);
    std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!stopping_) {
        if (kind_ == Kind::Tcp && !takeConnection())
            continue;
        const int length = modbus_receive(context_, query);
        if (length > 0) {
            answer(query, length);
        } else if (length < 0 && errno != ETIMEDOUT && kind_ == Kind::Tcp) {
            ::close(connection_);
            connection_ = -1;
        }
    }
}

// One client at a time, as a small board's server takes them.
bool ModbusServer::takeConnection() {
    if (drop_) {
        if (connection_ >= 0)
            ::close(std::exchange(connection_, -1));
        const std::lock_guard guard(lock_);
        drop_ = false;
        answered_.notify_all();
    }
    if (connection_ >= 0)
        return true;
    pollfd waiting{listening_, POLLIN, 0};
    if (::poll(&waiting, 1, static_cast<int>(kPollMicroseconds / 1000)) <= 0)
        return false;
    connection_ = modbus_tcp_accept(context_, &listening_);
    return connection_ >= 0;
}

void ModbusServer::answer(const std::uint8_t* query, int length) {
    using Clock = std::chrono::steady_clock;
    const int header = modbus_get_header_length(context_);
    const Clock::time_point read = Clock::now();
    Clock::time_point answerAt = read;
    {
        const std::lock_guard guard(lock_);
        Request request{query[header], wordAt(query + header + 1), wordAt(query + header + 3),
                        read};
        answerAt += delay_;
        if (baud_ > 0) {
            // Characters of the line in nanoseconds; a silence is 3.5 of them, counted in halves.
            const auto halves = [&](int count) {
                return std::chrono::nanoseconds(count * 5'000'000'000LL / baud_);
            };
            const Clock::time_point start = std::max(read, lineFreeAt_);
            request.taken = start + halves(2 * length);
            answerAt += (start - read) +
                        halves(2 * length + 7 +
                               2 * answerBytes(request.function, request.count, exception_ != 0));
            lineFreeAt_ = answerAt + halves(7);
        }
        requests_.push_back(request);
        if (silent_)
            return;
    }
    std::this_thread::sleep_until(answerAt);
    {
        const std::lock_guard guard(lock_);
        if (exception_)
            modbus_reply_exception(context_, query, static_cast<unsigned>(exception_));
        else
            modbus_reply(context_, query, length, mapping_);
        ++answers_;
    }
    answered_.notify_all();
}

std::vector<ModbusServer::Request> ModbusServer::requests() const {
    const std::lock_guard guard(lock_);
    return requests_;
}

void ModbusServer::forgetRequests() {
    const std::lock_guard guard(lock_);
    requests_.clear();
}

std::uint8_t ModbusServer::coils() const {
    const std::lock_guard guard(lock_);
    std::uint8_t bits = 0;
    for (int coil = 0; coil < mapping_->nb_bits && coil < 8; ++coil)
        if (mapping_->tab_bits[coil])
            bits |= static_cast<std::uint8_t>(1U << coil);
    return bits;
}

void ModbusServer::setCoils(std::uint8_t coils) {
    const std::lock_guard guard(lock_);
    for (int coil = 0; coil < mapping_->nb_bits && coil < 8; ++coil)
        mapping_->tab_bits[coil] = (coils >> coil) & 1U;
}

void ModbusServer::answerAfter(std::chrono::milliseconds delay) {
    const std::lock_guard guard(lock_);
    delay_ = delay;
}

void ModbusServer::paceAt(int baud) {
    const std::lock_guard guard(lock_);
    baud_ = baud;
    // A line has no scheduler: where it may, the thread runs real-time, so that the machine's
    // noise does not lengthen the line.
    if (baud > 0 && thread_.joinable()) {
        sched_param lowest{};
        lowest.sched_priority = sched_get_priority_min(SCHED_FIFO);
        pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &lowest);
    }
}

void ModbusServer::setSilent(bool silent) {
    const std::lock_guard guard(lock_);
    silent_ = silent;
}

void ModbusServer::answerWithException(int code) {
    const std::lock_guard guard(lock_);
    exception_ = code;
}

bool ModbusServer::waitForAnswers(int count) {
    std::unique_lock guard(lock_);
    return answered_.wait_for(guard, std::chrono::seconds(5), [&] { return answers_ >= count; });
}

void ModbusServer::dropConnection() {
    std::unique_lock guard(lock_);
    drop_ = true;
    answered_.wait_for(guard, std::chrono::seconds(5), [&] { return !drop_; });
}

void ModbusServer::stop() {
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    for (int* fd : {&farEnd_, &nearEnd_, &listening_, &connection_})
        if (*fd >= 0)
            ::close(std::exchange(*fd, -1));
}
