#include "devices/sim/SimulatedFamily.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace devices::sim {

namespace {

std::string hexByte(std::uint8_t value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02x", value);
    return text;
}

Failure notOpen() {
    return {Failure::Kind::NotOpen, "no simulated board is open"};
}

} // namespace

// One opened board; a board that could not be opened (index past the boards, held by another
// process) fails every call.
class SimulatedFamily::Device final : public RelayDevice {
public:
    Device(SimulatedFamily& family, std::optional<std::uint32_t> board)
        : family_(family)
        , board_(board)
        , plugs_(board ? family.boards_[*board].plugs : 0)
        , known_(family.options_.readsBack ? 0xFF : 0) {}

    DeviceInfo info() const override {
        return board_ ? family_.infoOf(*board_) : DeviceInfo{"sim", kMaxRelays, true, {}, {}, {}};
    }
    bool isOpen() const override { return board_.has_value(); }
    std::uint8_t knownRelays() const override { return known_; }

    // A board that cannot read back answers with what it was told since it was opened.
    Result<std::uint8_t> readRelays() override {
        const std::lock_guard lock(family_.lock_);
        if (!isHeld())
            return notOpen();
        return static_cast<std::uint8_t>(family_.boards_[*board_].relays & known_);
    }

    Result<void> writeRelays(std::uint8_t relays) override { return latch(0xFF, relays); }

    Result<void> writeSomeRelays(std::uint8_t which, std::uint8_t relays) override {
        return latch(family_.options_.readsBack ? 0xFF : which, relays);
    }

    Result<void> close() override {
        const std::lock_guard lock(family_.lock_);
        if (!isHeld())
            return notOpen();
        family_.release(*board_);
        closed_ = true;
        return {};
    }

private:
    Result<void> latch(std::uint8_t which, std::uint8_t relays) {
        const std::lock_guard lock(family_.lock_);
        if (!isHeld())
            return notOpen();
        which &= family_.relayMask();
        std::uint8_t& latched = family_.boards_[*board_].relays;
        latched = static_cast<std::uint8_t>((latched & ~which) | (relays & which));
        known_ |= which;
        if (*board_ == 0)
            family_.saveState();
        return {};
    }

    bool isHeld() const {
        return board_ && !closed_ && family_.boards_[*board_].open &&
               family_.boards_[*board_].plugs == plugs_;
    }

    SimulatedFamily& family_;
    const std::optional<std::uint32_t> board_;
    const std::uint64_t plugs_;
    bool closed_ = false;
    std::uint8_t known_; // the relays written since it was opened, or all of one that reads back
};

SimulatedFamily::SimulatedFamily(SimulatedOptions options)
    : options_(std::move(options))
    , boards_(options_.boards) {
    options_.relays = std::clamp(options_.relays, 1, kMaxRelays);
    checkStateFile();
    loadState();
    if (!boards_.empty())
        boards_[0].relays &= relayMask();
}

SimulatedFamily::~SimulatedFamily() {
    for (std::uint32_t i = 0; i < boards_.size(); ++i)
        release(i);
}

DeviceInfo SimulatedFamily::infoOf(std::uint32_t index) const {
    return {"sim", options_.relays, options_.readsBack, {}, {}, "sim" + std::to_string(index + 1)};
}

std::uint8_t SimulatedFamily::relayMask() const {
    return static_cast<std::uint8_t>((1U << options_.relays) - 1U);
}

std::vector<DeviceInfo> SimulatedFamily::enumerate() {
    std::vector<DeviceInfo> found;
    for (std::uint32_t i = 0; i < options_.boards; ++i)
        found.push_back(infoOf(i));
    return found;
}

std::unique_ptr<RelayDevice> SimulatedFamily::open(std::size_t index) {
    const std::lock_guard lock(lock_);
    if (index >= boards_.size() || !hold(static_cast<std::uint32_t>(index)))
        return std::make_unique<Device>(*this, std::nullopt);
    boards_[index].open = true;
    return std::make_unique<Device>(*this, static_cast<std::uint32_t>(index));
}

std::unique_ptr<RelayDevice> SimulatedFamily::unopened() {
    return std::make_unique<Device>(*this, std::nullopt);
}

// Without power its relays fall off, and its handle dies.
void SimulatedFamily::pulledOut(std::size_t index) {
    const std::lock_guard lock(lock_);
    if (index >= boards_.size())
        return;
    Board& board = boards_[index];
    release(static_cast<std::uint32_t>(index));
    ++board.plugs;
    board.relays = 0;
    if (index == 0)
        saveState();
}

std::uint8_t SimulatedFamily::relays(std::uint32_t index) const {
    const std::lock_guard lock(lock_);
    return boards_.at(index).relays;
}

void SimulatedFamily::setRelays(std::uint32_t index, std::uint8_t relays) {
    const std::lock_guard lock(lock_);
    boards_.at(index).relays = relays;
}

void SimulatedFamily::warn(const std::string& message) const {
    if (options_.warn)
        options_.warn(message);
}

// The state file must be a regular file this process can write (or create); anything else, a
// FIFO above all, which would block every read and write, is ignored.
void SimulatedFamily::checkStateFile() {
    if (options_.stateFile.empty())
        return;
    const int fd = ::open(options_.stateFile.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == ENOENT) {
        // Created by the first write; its folder must take it.
        const std::size_t slash = options_.stateFile.rfind('/');
        const std::string folder =
            slash == std::string::npos ? "." : options_.stateFile.substr(0, slash + 1);
        if (::access(folder.c_str(), W_OK | X_OK) == 0)
            return;
    }
    if (fd < 0) {
        warn("cannot write the state file " + options_.stateFile + ": " + std::strerror(errno) +
             "; it is ignored");
        options_.stateFile.clear();
        return;
    }
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    if (!regular) {
        warn("the state file " + options_.stateFile + " is not a regular file; it is ignored");
        options_.stateFile.clear();
    }
}

// A state file that does not exist yet means all relays off; one that exists must hold two hex
// digits, or its relays are unknown and that is said rather than taken as all off.
void SimulatedFamily::loadState() {
    if (options_.stateFile.empty() || boards_.empty())
        return;
    std::ifstream in(options_.stateFile);
    if (!in) {
        if (errno != ENOENT)
            warn("cannot read the state file " + options_.stateFile + ": " + std::strerror(errno) +
                 "; board 1 starts with all relays off");
        return;
    }
    std::string hex;
    in >> hex;
    if (hex.size() == 2 && std::isxdigit(static_cast<unsigned char>(hex[0])) &&
        std::isxdigit(static_cast<unsigned char>(hex[1]))) {
        boards_[0].relays = static_cast<std::uint8_t>(std::stoul(hex, nullptr, 16));
        return;
    }
    warn("the state file " + options_.stateFile + (hex.empty() ? " is empty" : " is unreadable") +
         "; board 1 starts with all relays off");
}

// Replaced whole by a rename, so that a reader never sees it half written and a kill leaves the
// old state or the new one. Nothing is flushed to the disk: this is a test board, not a document.
// A write that fails (a full disk) leaves the old file and no temporary one, and is said once.
void SimulatedFamily::saveState() {
    if (options_.stateFile.empty() || boards_.empty())
        return;
    const std::string temporary = options_.stateFile + ".tmp" + std::to_string(::getpid());
    bool saved = false;
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << hexByte(boards_[0].relays) << '\n';
        saved = static_cast<bool>(out.flush());
    }
    saved = saved && std::rename(temporary.c_str(), options_.stateFile.c_str()) == 0;
    if (!saved) {
        const int why = errno;
        std::remove(temporary.c_str());
        if (!std::exchange(stateFailureSaid_, true))
            warn("cannot save the state file " + options_.stateFile + ": " + std::strerror(why) +
                 "; board 1's relays are not kept");
    } else {
        stateFailureSaid_ = false;
    }
}

// With a state file, an opened board is held as a real one is: a lock beside that file keeps
// other processes from opening it until it is closed.
bool SimulatedFamily::hold(std::uint32_t index) {
    Board& board = boards_[index];
    if (options_.stateFile.empty() || board.holdFd >= 0)
        return true;
    const std::string path = options_.stateFile + ".lock" + std::to_string(index + 1);
    board.holdFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (board.holdFd < 0)
        return true; // a folder that takes no lock file holds nothing
    if (::flock(board.holdFd, LOCK_EX | LOCK_NB) == 0)
        return true;
    ::close(board.holdFd);
    board.holdFd = -1;
    return false;
}

void SimulatedFamily::release(std::uint32_t index) {
    Board& board = boards_[index];
    board.open = false;
    if (board.holdFd >= 0)
        ::close(board.holdFd);
    board.holdFd = -1;
}

} // namespace devices::sim
