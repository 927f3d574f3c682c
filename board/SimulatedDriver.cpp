#include "board/SimulatedDriver.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace board {

namespace {

std::string hexByte(std::uint8_t value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02x", value);
    return text;
}

} // namespace

namespace {

// A count of calls: digits only, and small enough to count to.
std::optional<std::uint64_t> callCount(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE)
        return std::nullopt;
    return value;
}

// Milliseconds, with an optional fraction, at most a minute.
std::optional<std::chrono::microseconds> callTime(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos ||
        std::count(text.begin(), text.end(), '.') > 1 || text == ".")
        return std::nullopt;
    const double milliseconds = std::strtod(text.c_str(), nullptr);
    if (!(milliseconds <= 60'000.0))
        return std::nullopt;
    return std::chrono::microseconds(static_cast<std::int64_t>(milliseconds * 1000.0 + 0.5));
}

// The value after "name=" in word, when word starts with it.
std::optional<std::string> valueOf(const std::string& word, const std::string& name) {
    const std::string prefix = name + '=';
    if (word.rfind(prefix, 0) != 0)
        return std::nullopt;
    return word.substr(prefix.size());
}

} // namespace

SimulatedFaults parseSimulatedFaults(const std::string& text) {
    SimulatedFaults faults;
    std::istringstream words(text);
    std::string word;
    while (std::getline(words, word, ',')) {
        std::optional<std::string> value;
        bool understood = true;
        if ((value = valueOf(word, "unplug-after"))) {
            faults.unplugAfterCalls = callCount(*value);
            understood = faults.unplugAfterCalls.has_value();
        } else if ((value = valueOf(word, "wedge-after"))) {
            faults.wedgeAfterCalls = callCount(*value);
            understood = faults.wedgeAfterCalls.has_value();
        } else if ((value = valueOf(word, "latency"))) {
            const std::optional<std::chrono::microseconds> latency = callTime(*value);
            faults.latency = latency.value_or(std::chrono::microseconds(0));
            understood = latency.has_value();
        } else if (word == "fail-writes") {
            faults.failWrites = true;
        } else if (word == "fail-reads") {
            faults.failReads = true;
        } else {
            understood = word.empty();
        }
        if (!understood)
            faults.unknown.push_back(word);
    }
    return faults;
}

std::string formatTraceLine(const TraceRecord& record) {
    std::string line = std::to_string(record.microseconds) + ' ' + record.op;
    if (!record.values.empty())
        line += ' ' + record.values;
    line += record.ok ? " ok" : " fail";
    return line;
}

SimulatedDriver::SimulatedDriver(SimulatedBoardOptions options)
    : options_(std::move(options))
    , boards_(options_.boards) {
    for (const std::string& word : options_.faults.unknown)
        warn("simulated fault \"" + word + "\" not understood; ignored");
    openTraceFile();
    checkStateFile();
    loadState();
}

// The trace goes to a regular file only: opening a FIFO would wait for a reader for ever.
void SimulatedDriver::openTraceFile() {
    if (options_.traceFile.empty())
        return;
    struct stat info {};
    const bool special = ::stat(options_.traceFile.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
    const int fd =
        special ? -1
                : ::open(options_.traceFile.c_str(),
                         O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        warn("cannot write the trace file " + options_.traceFile + ": " +
             (fd < 0 && !special ? std::strerror(errno) : "not a regular file") +
             "; it is ignored");
        if (fd >= 0)
            ::close(fd);
        return;
    }
    ::fcntl(fd, F_SETFL, O_APPEND);
    trace_.reset(::fdopen(fd, "a"));
    if (!trace_)
        ::close(fd);
}

void SimulatedDriver::warn(const std::string& message) const {
    if (options_.warn)
        options_.warn(message);
}

// The state file must be a regular file this process can write (or create); anything else, a
// FIFO above all, which would block every read and write, is ignored.
void SimulatedDriver::checkStateFile() {
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

SimulatedDriver::~SimulatedDriver() {
    for (Board& board : boards_)
        release(board);
}

// A state file that does not exist yet means all relays off; one that exists must hold two hex
// digits, or its relays are unknown and that is said rather than taken as all off.
void SimulatedDriver::loadState() {
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
        boards_[0].pins = static_cast<std::uint8_t>(std::stoul(hex, nullptr, 16));
        return;
    }
    warn("the state file " + options_.stateFile + (hex.empty() ? " is empty" : " is unreadable") +
         "; board 1 starts with all relays off");
}

// Replaced whole by a rename, so that a reader never sees it half written and a kill leaves the
// old state or the new one. Nothing is flushed to the disk: this is a test board, not a document.
// A save that fails (a full disk) leaves no temporary file and is told once, until one succeeds.
void SimulatedDriver::saveState() {
    if (options_.stateFile.empty() || boards_.empty())
        return;
    const std::string temporary = options_.stateFile + ".tmp" + std::to_string(::getpid());
    const std::string text = hexByte(boards_[0].pins) + '\n';
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    bool saved = fd >= 0;
    int error = errno;
    const auto failed = [&](bool failure) {
        if (failure && saved)
            error = errno;
        saved = saved && !failure;
    };
    failed(saved && ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()));
    failed(fd >= 0 && ::close(fd) != 0);
    failed(saved && std::rename(temporary.c_str(), options_.stateFile.c_str()) != 0);
    if (!saved && fd >= 0)
        ::unlink(temporary.c_str());
    if (!saved && !std::exchange(saveFailing_, true))
        warn("cannot save the state file " + options_.stateFile + ": " + std::strerror(error) +
             "; board 1's relays are not kept");
    if (saved)
        saveFailing_ = false;
}

std::vector<bool> SimulatedDriver::listedBoards(const std::string& file) const {
    std::vector<bool> listed(boards_.size(), false);
    std::ifstream in(file);
    for (long number = 0; in >> number;)
        if (number >= 1 && static_cast<std::size_t>(number) <= boards_.size())
            listed[static_cast<std::size_t>(number - 1)] = true;
    return listed;
}

void SimulatedDriver::checkUnpluggedFile() {
    if (options_.unpluggedFile.empty())
        return;
    const std::vector<bool> unplugged = listedBoards(options_.unpluggedFile);
    for (std::size_t i = 0; i < boards_.size(); ++i) {
        Board& board = boards_[i];
        if (board.present && unplugged[i]) {
            board.open = false;
            release(board);
            board.pins = 0;
            if (i == 0)
                saveState();
        }
        board.present = !unplugged[i];
    }
}

std::optional<std::uint32_t> SimulatedDriver::boardAtIndex(std::uint32_t index) const {
    for (std::uint32_t board = 0; board < boards_.size(); ++board)
        if (boards_[board].present && index-- == 0)
            return board;
    return std::nullopt;
}

bool SimulatedDriver::isWedged(std::uint32_t board) const {
    return !options_.wedgedFile.empty() && board < boards_.size() &&
           listedBoards(options_.wedgedFile)[board];
}

SimulatedDriver::Call
SimulatedDriver::beginCall(const std::function<std::optional<std::uint32_t>()>& board,
                           std::unique_lock<std::mutex>& lock) {
    Call call{Clock::now()};
    lock = std::unique_lock(mutex_);
    ++calls_;
    checkUnpluggedFile();
    const SimulatedFaults& faults = options_.faults;
    const bool wedged = hangs(board());
    call.fails = wedged || (faults.unplugAfterCalls && calls_ > *faults.unplugAfterCalls);
    takeTime(lock, wedged ? kWedgedCallTime : faults.latency);
    return call;
}

bool SimulatedDriver::hangs(std::optional<std::uint32_t> board) const {
    const std::optional<std::uint64_t>& wedgeAfter = options_.faults.wedgeAfterCalls;
    return (wedgeAfter && calls_ > *wedgeAfter) || (board && isWedged(*board));
}

void SimulatedDriver::takeTime(std::unique_lock<std::mutex>& lock, std::chrono::microseconds cost) {
    if (cost.count() <= 0)
        return;
    lock.unlock();
    std::this_thread::sleep_for(cost);
    lock.lock();
}

std::optional<std::uint32_t> SimulatedDriver::boardOfHandle(Handle handle) {
    return handle == 0 ? std::nullopt : std::optional<std::uint32_t>(handle - 1);
}

SimulatedDriver::Board* SimulatedDriver::openBoard(Handle handle) {
    if (handle == 0 || handle > boards_.size())
        return nullptr;
    Board& board = boards_[handle - 1];
    return board.open && board.present ? &board : nullptr;
}

Status SimulatedDriver::record(const Call& call, const char* op, std::string values,
                               Status status) {
    const auto elapsed = call.start - start_;
    const TraceRecord record{std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count(),
                             op, std::move(values), succeeded(status)};
    if (trace_) {
        std::fprintf(trace_.get(), "%s\n", formatTraceLine(record).c_str());
        std::fflush(trace_.get());
    }
    if (sink_)
        sink_(record);
    return status;
}

void SimulatedDriver::setTraceSink(std::function<void(const TraceRecord&)> sink) {
    const std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
}

std::uint8_t SimulatedDriver::pins(std::uint32_t index) const {
    const std::lock_guard lock(mutex_);
    return boards_.at(index).pins;
}

void SimulatedDriver::setPins(std::uint32_t index, std::uint8_t pins) {
    const std::lock_guard lock(mutex_);
    boards_.at(index).pins = pins;
}

Status SimulatedDriver::countDevices(std::uint32_t& count) {
    std::unique_lock<std::mutex> lock;
    const Call call = beginCall([] { return std::nullopt; }, lock);
    count = call.fails ? 0
                       : static_cast<std::uint32_t>(
                             std::count_if(boards_.begin(), boards_.end(),
                                           [](const Board& board) { return board.present; }));
    return record(call, "count", std::to_string(count), Status::Ok);
}

Status SimulatedDriver::openByIndex(std::uint32_t index, Handle& handle) {
    std::unique_lock<std::mutex> lock;
    const Call call = beginCall([&] { return boardAtIndex(index); }, lock);
    const std::optional<std::uint32_t> board = call.fails ? std::nullopt : boardAtIndex(index);
    if (!board)
        return record(call, "open", std::to_string(index), Status::DeviceNotFound);
    if (!hold(*board))
        return record(call, "open", std::to_string(index), Status::DeviceNotOpened);
    boards_[*board].open = true;
    handle = *board + 1;
    return record(call, "open", std::to_string(index), Status::Ok);
}

Status SimulatedDriver::setBitMode(Handle handle, std::uint8_t mask, std::uint8_t mode) {
    std::unique_lock<std::mutex> lock;
    const Call call = beginCall([handle] { return boardOfHandle(handle); }, lock);
    const bool ok = !call.fails && openBoard(handle);
    return record(call, "setbitmode", hexByte(mask) + ' ' + std::to_string(mode),
                  ok ? Status::Ok : Status::InvalidHandle);
}

Status SimulatedDriver::setBaudRate(Handle handle, std::uint32_t rate) {
    std::unique_lock<std::mutex> lock;
    const Call call = beginCall([handle] { return boardOfHandle(handle); }, lock);
    const bool ok = !call.fails && openBoard(handle);
    return record(call, "setrate", std::to_string(rate), ok ? Status::Ok : Status::InvalidHandle);
}

Status SimulatedDriver::write(Handle handle, const std::uint8_t* buffer, std::uint32_t length,
                              std::uint32_t& written) {
    std::string bytes;
    for (std::uint32_t i = 0; i < length; ++i)
        bytes += (i ? " " : "") + hexByte(buffer[i]);
    std::unique_lock<std::mutex> lock;
    const Call call = beginCall([handle] { return boardOfHandle(handle); }, lock);
    Board* board = call.fails ? nullptr : openBoard(handle);
    if (!board || options_.faults.failWrites) {
        written = 0;
        return record(call, "write", bytes, board ? Status::IoError : Status::InvalidHandle);
    }
    if (length > 0)
        board->pins = buffer[length - 1];
    written = length;
    if (handle == 1)
        saveState();
    return record(call, "write", bytes, Status::Ok);
}

Status SimulatedDriver::readPins(Handle handle, std::uint8_t& pins) {
    std::unique_lock<std::mutex> lock;
    const Call call = beginCall([handle] { return boardOfHandle(handle); }, lock);
    Board* board = call.fails ? nullptr : openBoard(handle);
    if (!board || options_.faults.failReads)
        return record(call, "read", {}, board ? Status::IoError : Status::InvalidHandle);
    pins = board->pins;
    return record(call, "read", hexByte(pins), Status::Ok);
}

// Closing is not counted as a call, so a board that vanished can still be let go; a wedged one
// hangs here too.
Status SimulatedDriver::close(Handle handle) {
    const Call call{Clock::now()};
    std::unique_lock lock(mutex_);
    if (hangs(boardOfHandle(handle)))
        takeTime(lock, kWedgedCallTime);
    Board* open = openBoard(handle);
    if (open) {
        open->open = false;
        release(*open);
    }
    return record(call, "close", {}, open ? Status::Ok : Status::InvalidHandle);
}

DeviceInfo SimulatedDriver::describe(std::uint32_t index) {
    const std::lock_guard lock(mutex_);
    const std::optional<std::uint32_t> board = boardAtIndex(index);
    return {{}, {}, board ? "sim" + std::to_string(*board + 1) : std::string()};
}

// A handle stands for its board, by number, as long as the driver lives.
std::optional<DeviceInfo> SimulatedDriver::describeOpened(Handle handle) {
    const std::lock_guard lock(mutex_);
    const std::optional<std::uint32_t> board = boardOfHandle(handle);
    if (!board || *board >= boards_.size())
        return std::nullopt;
    return DeviceInfo{{}, {}, "sim" + std::to_string(*board + 1)};
}

bool SimulatedDriver::hold(std::uint32_t index) {
    Board& board = boards_[index];
    if (options_.stateFile.empty() || board.holdFd >= 0)
        return true;
    const std::string path = options_.stateFile + ".lock" + std::to_string(index + 1);
    board.holdFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (board.holdFd < 0)
        return true; // a folder that takes no lock file holds nothing, as before
    if (::flock(board.holdFd, LOCK_EX | LOCK_NB) == 0)
        return true;
    ::close(board.holdFd);
    board.holdFd = -1;
    return false;
}

void SimulatedDriver::release(Board& board) {
    if (board.holdFd >= 0)
        ::close(board.holdFd);
    board.holdFd = -1;
}

} // namespace board
