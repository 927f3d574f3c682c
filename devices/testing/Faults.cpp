#include "devices/testing/Faults.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace devices::testing {

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

Failure injected(const char* what) {
    return {Failure::Kind::Io, std::string("the board's ") + what + " failed (an injected fault)"};
}

} // namespace

Faults parseFaults(const std::string& text) {
    Faults faults;
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
        } else if (word == "short-writes") {
            faults.shortWrites = true;
        } else {
            understood = word.empty();
        }
        if (!understood)
            faults.unknown.push_back(word);
    }
    return faults;
}

// A board of the inner family as the faults let it be reached.
class FaultyFamily::Device final : public RelayDevice {
public:
    Device(FaultyFamily& family, std::unique_ptr<RelayDevice> inner,
           std::optional<std::size_t> board, std::uint64_t pulls)
        : family_(family)
        , inner_(std::move(inner))
        , board_(board)
        , pulls_(pulls) {}

    DeviceInfo info() const override { return inner_->info(); }
    std::uint8_t knownRelays() const override { return inner_->knownRelays(); }
    Result<void> setSerial(const std::string& serial) override { return inner_->setSerial(serial); }
    bool isOpen() const override { return inner_->isOpen(); }
    void setUpAgain() override { inner_->setUpAgain(); }

    Result<std::uint8_t> readRelays() override {
        if (const std::optional<Failure> failure = fails())
            return *failure;
        if (family_.faults_.failReads)
            return injected("read");
        return inner_->readRelays();
    }

    Result<void> writeRelays(std::uint8_t relays) override {
        return write([&] { return inner_->writeRelays(relays); });
    }

    Result<void> writeSomeRelays(std::uint8_t which, std::uint8_t relays) override {
        return write([&] { return inner_->writeSomeRelays(which, relays); });
    }

    // Closing is not counted as a call, so a board that vanished can still be let go; a wedged
    // one hangs here too.
    Result<void> close() override {
        family_.beginCall(board_, false);
        return inner_->close();
    }

private:
    template <typename Write> Result<void> write(const Write& inner) {
        if (const std::optional<Failure> failure = fails())
            return *failure;
        if (family_.faults_.failWrites)
            return injected("write");
        const Result<void> written = inner();
        if (written && family_.faults_.shortWrites)
            return Failure{Failure::Kind::ShortWrite,
                           "only part of the write reached the board (an injected fault)"};
        return written;
    }

    std::optional<Failure> fails() {
        const Verdict verdict = family_.beginCall(board_);
        if (verdict == Verdict::Hangs)
            return Failure{Failure::Kind::NoAnswer, "the board does not answer"};
        const std::lock_guard lock(family_.lock_);
        const bool pulled = board_ && family_.pulls_.at(*board_) != pulls_;
        if (verdict == Verdict::Fails || pulled)
            return Failure{Failure::Kind::Gone, "the board is not there"};
        return std::nullopt;
    }

    FaultyFamily& family_;
    const std::unique_ptr<RelayDevice> inner_;
    const std::optional<std::size_t> board_;
    const std::uint64_t pulls_;
};

FaultyFamily::FaultyFamily(std::unique_ptr<Family> inner, Faults faults)
    : inner_(std::move(inner))
    , faults_(std::move(faults)) {}

FaultyFamily::~FaultyFamily() = default;

std::vector<bool> FaultyFamily::listedBoards(const std::string& file) const {
    std::vector<bool> listed(boards_, false);
    if (file.empty())
        return listed;
    std::ifstream in(file);
    for (long number = 0; in >> number;)
        if (number >= 1 && static_cast<std::size_t>(number) <= boards_)
            listed[static_cast<std::size_t>(number - 1)] = true;
    return listed;
}

// Takes the boards named in the unplugged file off the bus and puts the others back.
void FaultyFamily::checkUnpluggedFile() {
    if (faults_.unpluggedFile.empty())
        return;
    const std::vector<bool> unplugged = listedBoards(faults_.unpluggedFile);
    unplugged_.resize(boards_, false);
    pulls_.resize(boards_, 0);
    for (std::size_t i = 0; i < boards_; ++i) {
        if (unplugged[i] && !unplugged_[i]) {
            ++pulls_[i];
            inner_->pulledOut(i);
        }
        unplugged_[i] = unplugged[i];
    }
}

std::optional<std::size_t> FaultyFamily::boardAtIndex(std::size_t index) const {
    for (std::size_t board = 0; board < boards_; ++board)
        if (!(board < unplugged_.size() && unplugged_[board]) && index-- == 0)
            return board;
    return std::nullopt;
}

FaultyFamily::Verdict FaultyFamily::beginCall(std::optional<std::size_t> board, bool counted) {
    std::unique_lock lock(lock_);
    if (counted)
        ++calls_;
    checkUnpluggedFile();
    const bool wedgedByCount = faults_.wedgeAfterCalls && calls_ > *faults_.wedgeAfterCalls;
    const bool wedgedByFile =
        board && *board < boards_ && listedBoards(faults_.wedgedFile).at(*board);
    const bool hangs = wedgedByCount || wedgedByFile;
    const bool vanished = counted && faults_.unplugAfterCalls && calls_ > *faults_.unplugAfterCalls;
    lock.unlock();
    const std::chrono::microseconds cost =
        hangs ? std::chrono::microseconds(kWedgedCallTime)
              : (counted ? faults_.latency : std::chrono::microseconds(0));
    if (cost.count() > 0)
        std::this_thread::sleep_for(cost);
    if (hangs)
        return Verdict::Hangs;
    return vanished ? Verdict::Fails : Verdict::Passes;
}

std::vector<DeviceInfo> FaultyFamily::enumerate() {
    if (beginCall(std::nullopt) != Verdict::Passes)
        return {};
    std::vector<DeviceInfo> found = inner_->enumerate();
    const std::lock_guard lock(lock_);
    boards_ = found.size();
    checkUnpluggedFile();
    std::vector<DeviceInfo> present;
    for (std::size_t board = 0; board < found.size(); ++board)
        if (!(board < unplugged_.size() && unplugged_[board]))
            present.push_back(std::move(found[board]));
    return present;
}

std::unique_ptr<RelayDevice> FaultyFamily::openFaulty(std::size_t index,
                                                      const DeviceInfo* expected) {
    std::optional<std::size_t> board;
    {
        const std::lock_guard lock(lock_);
        checkUnpluggedFile();
        board = boardAtIndex(index);
    }
    if (beginCall(board) != Verdict::Passes || !board)
        return unopened();
    std::unique_ptr<RelayDevice> opened =
        expected ? inner_->openExpecting(*board, *expected) : inner_->open(*board);
    const std::lock_guard lock(lock_);
    pulls_.resize(boards_, 0);
    return std::make_unique<Device>(*this, std::move(opened), board, pulls_.at(*board));
}

std::unique_ptr<RelayDevice> FaultyFamily::open(std::size_t index) {
    return openFaulty(index, nullptr);
}

std::unique_ptr<RelayDevice> FaultyFamily::openExpecting(std::size_t index,
                                                         const DeviceInfo& expected) {
    return openFaulty(index, &expected);
}

std::unique_ptr<RelayDevice> FaultyFamily::unopened() {
    return std::make_unique<Device>(*this, inner_->unopened(), std::nullopt, 0);
}

void FaultyFamily::pulledOut(std::size_t index) {
    inner_->pulledOut(index);
}

} // namespace devices::testing
