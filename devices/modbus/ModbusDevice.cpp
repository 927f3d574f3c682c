#include "devices/modbus/ModbusDevice.h"

#include "devices/modbus/HostLookup.h"

#include <array>
#include <cerrno>
#include <modbus/modbus.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <utility>
#include <vector>

namespace devices::modbus {

namespace {

void setTimeout(modbus_t* context, std::chrono::milliseconds time,
                int (*set)(modbus_t*, uint32_t, uint32_t)) {
    const auto count = static_cast<std::uint32_t>(time.count());
    set(context, count / 1000, (count % 1000) * 1000);
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::string where(const Board& board) {
    return "modbus board " + board.id + " (" + board.device + ", address " +
           std::to_string(board.address) + ")";
}

Failure::Kind kindOfOpening(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EBUSY:
        return Failure::Kind::Refused;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
        return Failure::Kind::Gone;
    case ETIMEDOUT:
    case EINPROGRESS:
        return Failure::Kind::NoAnswer;
    default:
        return Failure::Kind::Io;
    }
}

} // namespace

DeviceInfo infoOf(const Board& board) {
    DeviceInfo info;
    info.family = "modbus";
    info.relayCount = board.relays;
    info.readsBack = true;
    info.portPath = board.device;
    info.name = board.id;
    info.configured = true;
    return info;
}

ModbusDevice::ModbusDevice(Board board, Timing timing, Failure why)
    : board_(std::move(board))
    , timing_(timing)
    , why_(std::move(why)) {}

ModbusDevice::~ModbusDevice() {
    letGo();
}

std::unique_ptr<ModbusDevice> ModbusDevice::open(const Board& board, const Timing& timing) {
    auto device = std::make_unique<ModbusDevice>(
        board, timing, Failure{Failure::Kind::NotOpen, where(board) + " was let go"});
    if (Result<void> opened = device->connect(); !opened)
        device->why_ = opened.failure();
    return device;
}

DeviceInfo ModbusDevice::info() const {
    return infoOf(board_);
}

// A name may give several addresses (IPv6 and IPv4, say) of which only one takes the
// connection: each is tried in turn, as libmodbus would if it were given the name.
Result<void> ModbusDevice::connect() {
    if (!board_.tcp)
        return connectAt(board_.device);
    Result<std::vector<std::string>> addresses = lookUpHost(board_.host, timing_.hostLookup);
    if (!addresses)
        return Failure{addresses.failure().kind, where(board_) + ": " + addresses.failure().detail};
    Result<void> connected;
    for (const std::string& address : addresses.value())
        if ((connected = connectAt(address)))
            break;
    return connected;
}

Result<void> ModbusDevice::connectAt(const std::string& address) {
    modbus_t* context =
        board_.tcp ? modbus_new_tcp_pi(address.c_str(), std::to_string(board_.port).c_str())
                   : modbus_new_rtu(address.c_str(), board_.baud, 'N', 8, 1);
    if (!context)
        return Failure{Failure::Kind::Io,
                       where(board_) + ": " + std::string(modbus_strerror(errno))};
    context_ = context;
    modbus_set_slave(context_, board_.address);
    setTimeout(context_, timing_.tcpConnect, modbus_set_response_timeout);
    if (modbus_connect(context_) != 0) {
        const int error = errno;
        modbus_free(std::exchange(context_, nullptr));
        return Failure{kindOfOpening(error),
                       "cannot open " + where(board_) + ": " + std::string(modbus_strerror(error))};
    }
    if (!board_.tcp) {
        // The lock keeps another Tambrook off the line; TIOCEXCL keeps off everything else that
        // would open the port (a terminal program, ModemManager) and garble the frames.
        const int fd = modbus_get_socket(context_);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            letGo();
            return Failure{Failure::Kind::Refused, where(board_) + " is held by another process"};
        }
        ::ioctl(fd, TIOCEXCL);
    }
    setTimeout(context_, timing_.response, modbus_set_response_timeout);
    setTimeout(context_, timing_.byteGap, modbus_set_byte_timeout);
    return {};
}

// A Modbus TCP server may close a connection that was idle (many gateways do after a minute):
// that is no lost board until connecting again fails.
Result<void> ModbusDevice::reconnect() {
    modbus_close(context_);
    setTimeout(context_, timing_.tcpConnect, modbus_set_response_timeout);
    const int rc = modbus_connect(context_);
    const int error = errno;
    setTimeout(context_, timing_.response, modbus_set_response_timeout);
    if (rc != 0)
        return failureOf(error, "connect again");
    return {};
}

bool ModbusDevice::lostConnection(int error) const {
    return board_.tcp &&
           (error == ECONNRESET || error == EPIPE || error == ENOTCONN || error == EBADF);
}

Failure ModbusDevice::failureOf(int error, const char* what) const {
    const std::string detail =
        where(board_) + ": cannot " + what + ": " + std::string(modbus_strerror(error));
    switch (error) {
    case ETIMEDOUT:
        return {Failure::Kind::NoAnswer, where(board_) + ": no answer to " + what + " within " +
                                             std::to_string(timing_.response.count()) + " ms"};
    case EMBXILFUN:
    case EMBXILADD:
    case EMBXILVAL:
        return {Failure::Kind::Refused, detail};
    case EMBXGPATH:
    case EMBXGTAR:
        return {Failure::Kind::NoAnswer, detail};
    default:
        break;
    }
    const bool gone = board_.tcp
                          ? (error == ECONNRESET || error == EPIPE || error == ENOTCONN ||
                             error == ECONNREFUSED || error == EHOSTUNREACH || error == ENETUNREACH)
                          : (error == EIO || error == ENXIO || error == ENODEV || error == EBADF ||
                             error == ECONNRESET || !exists(board_.device));
    return {gone ? Failure::Kind::Gone : Failure::Kind::Io, detail};
}

// Stale bytes (a late answer to a request that timed out, noise on the line) are thrown away
// first, so that they are never taken for this request's answer.
template <typename Request> Result<void> ModbusDevice::request(const char* what, Request&& send) {
    if (!context_)
        return why_;
    modbus_flush(context_);
    if (send(context_) >= 0)
        return {};
    int error = errno;
    if (lostConnection(error)) {
        if (Result<void> again = reconnect(); !again) {
            why_ = again.failure();
            letGo();
            return why_;
        }
        if (send(context_) >= 0)
            return {};
        error = errno;
    }
    Failure failure = failureOf(error, what);
    if (failure.kind == Failure::Kind::Gone) {
        why_ = failure;
        letGo();
    }
    return failure;
}

Result<std::uint8_t> ModbusDevice::readRelays() {
    std::array<std::uint8_t, kMaxRelays> coils{};
    const Result<void> read = request("read the coils", [&](modbus_t* context) {
        return modbus_read_bits(context, 0, board_.relays, coils.data());
    });
    if (!read)
        return read.failure();
    std::uint8_t relays = 0;
    for (int coil = 0; coil < board_.relays; ++coil)
        if (coils[static_cast<std::size_t>(coil)])
            relays |= static_cast<std::uint8_t>(1U << coil);
    return relays;
}

Result<void> ModbusDevice::writeRelays(std::uint8_t relays) {
    std::array<std::uint8_t, kMaxRelays> coils{};
    for (int coil = 0; coil < board_.relays; ++coil)
        coils[static_cast<std::size_t>(coil)] = (relays >> coil) & 1U;
    return request("write the coils", [&](modbus_t* context) {
        return modbus_write_bits(context, 0, board_.relays, coils.data());
    });
}

Result<void> ModbusDevice::close() {
    if (!context_)
        return why_;
    letGo();
    why_ = {Failure::Kind::NotOpen, where(board_) + " was let go"};
    return {};
}

void ModbusDevice::letGo() {
    if (!context_)
        return;
    modbus_close(context_);
    modbus_free(std::exchange(context_, nullptr));
}

} // namespace devices::modbus
