#include "Families.h"

#include "devices/Config.h"
#include "devices/Registry.h"
#include "devices/ftdi/FtdiFamily.h"
#include "devices/hid/HidFamily.h"
#include "devices/lcus/LcusFamily.h"
#include "devices/modbus/ModbusFamily.h"
#include "devices/testing/Tracing.h"
#include "engine/Sequencer.h"
#include "model/Model.h"
#include "support/Boards.h"
#include "support/EmulatedFt232r.h"
#include "support/EmulatedHidraw.h"
#include "support/ModbusServer.h"
#include "support/Processes.h"
#include "support/Sockets.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kBaud = 9600;
constexpr std::chrono::nanoseconds kCharacter{10'000'000'000LL / kBaud}; // 10 bits a byte

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double percentileOf(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

std::string fmt(const char* format, double a, double b = 0, double c = 0) {
    char text[200];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// A wire has no scheduler: where it may, an emulation's thread runs real-time, so that the
// machine's noise lengthens the program's figures rather than the line's.
void asRealTime() {
    sched_param lowest{};
    lowest.sched_priority = sched_get_priority_min(SCHED_FIFO);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &lowest);
}

// Times when the emulations took something, from their own threads.
class Moments {
public:
    void add(Clock::time_point at) {
        const std::lock_guard guard(lock_);
        moments_.push_back(at);
    }
    std::vector<Clock::time_point> take() {
        const std::lock_guard guard(lock_);
        return std::exchange(moments_, {});
    }

private:
    std::mutex lock_;
    std::vector<Clock::time_point> moments_;
};

// --- the emulations -------------------------------------------------------------------------

// The far end of an LCUS board's serial line: a pseudo-terminal read one byte at a time, each
// byte taken when the wire would have carried it (10 bits at 9600 baud after the one before, or
// after it was written), so that what the program writes ahead waits in the port's queue as in a
// USB chip's. Each frame's sum is checked; the queue's length is noted at every byte.
class PacedSerialLine {
public:
    PacedSerialLine() {
        char name[128] = {};
        if (::openpty(&far_, &near_, name, nullptr, nullptr) != 0)
            return;
        termios raw{};
        ::tcgetattr(near_, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(near_, TCSANOW, &raw);
        path_ = name;
        thread_ = std::thread([this] { read(); });
    }
    ~PacedSerialLine() {
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
        for (const int fd : {far_, near_})
            if (fd >= 0)
                ::close(fd);
    }
    PacedSerialLine(const PacedSerialLine&) = delete;
    PacedSerialLine& operator=(const PacedSerialLine&) = delete;

    const std::string& path() const { return path_; }
    Moments& frameEnds() { return frameEnds_; } // when each frame's last byte was taken
    int badFrames() const { return bad_; }
    int longestQueue() const { return longestQueue_; }
    void resetQueue() { longestQueue_ = 0; }

private:
    void read() {
        asRealTime();
        Clock::time_point lastTaken{};
        bool queuedBehind = false; // the next byte was in the queue while this one went
        std::vector<std::uint8_t> frame;
        while (!stopping_) {
            pollfd waiting{far_, POLLIN, 0};
            if (::poll(&waiting, 1, 20) <= 0)
                continue;
            std::uint8_t byte = 0;
            if (::read(far_, &byte, 1) != 1)
                continue;
            // A byte that waited in the queue follows the one before it on the wire at once;
            // one written later starts when it was written.
            const Clock::time_point start =
                queuedBehind ? lastTaken : std::max(Clock::now(), lastTaken);
            int queued = 0;
            ::ioctl(far_, FIONREAD, &queued);
            queuedBehind = queued > 0;
            longestQueue_ = std::max(longestQueue_.load(), queued);
            const Clock::time_point taken = start + kCharacter;
            std::this_thread::sleep_until(taken);
            lastTaken = taken;
            frame.push_back(byte);
            if (frame.size() == 4) {
                if (frame[0] != 0xA0 ||
                    static_cast<std::uint8_t>(frame[0] + frame[1] + frame[2]) != frame[3])
                    ++bad_;
                frameEnds_.add(taken);
                frame.clear();
            }
        }
    }

    int far_ = -1, near_ = -1;
    std::string path_;
    Moments frameEnds_;
    std::atomic<int> bad_{0};
    std::atomic<int> longestQueue_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// A USBRelay board whose every feature report takes a USB frame (1 ms) to go through, as a
// control transfer to a low-speed V-USB device does; the moment each SET_FEATURE is through.
class PacedRelayFirmware final : public hidemu::Behaviour {
public:
    explicit PacedRelayFirmware(Moments& sets)
        : firmware_("BENCH", 8)
        , sets_(sets) {}
    int setFeature(const std::vector<std::uint8_t>& report) override {
        std::this_thread::sleep_for(1ms);
        const int result = firmware_.setFeature(report);
        sets_.add(Clock::now());
        return result;
    }
    int getFeature(std::vector<std::uint8_t>& report) override {
        std::this_thread::sleep_for(1ms);
        return firmware_.getFeature(report);
    }
    int output(const std::vector<std::uint8_t>& report) override {
        return firmware_.output(report);
    }

private:
    hidemu::UsbRelayFirmware firmware_;
    Moments& sets_;
};

hidemu::HidrawSetup relayBoardSetup() {
    return {0x16c0, 0x05df, "www.dcttech.com", "USBRelay8", "", 1, {}};
}

// --- one family's board under a model and a sequencer ----------------------------------------

class NoPause final : public model::Pause {
public:
    void pause(int) override {}
};

// A write call on the board: when it started and ended.
struct WriteCall {
    Clock::time_point start, end;
};

class TracedRegistry {
public:
    explicit TracedRegistry(std::unique_ptr<devices::Family> family)
        : origin_(Clock::now()) {
        auto traced = std::make_unique<devices::testing::TracingFamily>(std::move(family), "",
                                                                        [](const std::string&) {});
        traced->setSink([this](const devices::testing::TraceRecord& record) {
            if (record.op != "write")
                return;
            const std::lock_guard guard(lock_);
            writes_.push_back(
                {origin_ + std::chrono::microseconds(record.microseconds), Clock::now()});
        });
        registry_.emplace(familyList(std::move(traced)));
    }
    devices::Registry& registry() { return *registry_; }
    std::vector<WriteCall> takeWrites() {
        const std::lock_guard guard(lock_);
        return std::exchange(writes_, {});
    }

private:
    const Clock::time_point origin_; // the trace's zero, give or take its construction
    std::mutex lock_;
    std::vector<WriteCall> writes_;
    std::optional<devices::Registry> registry_;
};

std::unique_ptr<devices::Family> configured(std::unique_ptr<devices::Family> family,
                                            const std::string& section) {
    auto parsed = devices::parseConfiguration(section, "bench");
    if (!std::holds_alternative<devices::Configuration>(parsed) ||
        family->configure(std::get<devices::Configuration>(parsed).boards))
        return nullptr;
    return family;
}

// A program played from Start on board 1: what the run took.
struct Played {
    bool ok = false;
    Clock::time_point started; // Start called: step k falls due k periods later
    std::vector<WriteCall> writes;
    double pauseMs = -1; // Pause asked, to the later of its answer and the last write's end
    Clock::time_point pauseAsked, pauseAnswered;
};

// Plays rows at periodMs a step, from a board holding the last row (so that Start applies the
// first). With pauseAfterMs, Pause is asked then. `clear` runs just before Start.
Played play(TracedRegistry& boards, const std::vector<std::string>& rows, int periodMs,
            const std::function<void()>& clear, int pauseAfterMs = 0) {
    NoPause pause;
    model::Model model(boards.registry(), pause);
    engine::Sequencer sequencer(model);
    Played played;
    model.loadProgram(programRows({"00000000-0"}));
    model.stopProgram();
    if (const model::Opening opening = model.openBoard(1, false);
        opening != model::Opening::Opened) {
        std::fprintf(stderr, "bench: board 1 of %zu did not open (%d)\n",
                     boards.registry().enumerate().size(), static_cast<int>(opening));
        return played;
    }
    model.loadProgram(programRows(rows));
    model.stopProgram();
    model.changeResolution(periodMs);
    model.setRepeat(false);
    model.selectRow(static_cast<int>(rows.size()) - 1);
    std::this_thread::sleep_for(50ms); // the line quiet again
    boards.takeWrites();
    clear();
    played.started = Clock::now();
    {
        const model::Model::Lock lock = model.lockForAction();
        model.startOrStop();
    }
    const Clock::time_point limit =
        played.started + std::chrono::milliseconds(periodMs * static_cast<int>(rows.size()) * 10) +
        5s;
    Clock::time_point asked{}, answered{};
    while (model.snapshot()->timerEnabled && Clock::now() < limit) {
        if (pauseAfterMs > 0 &&
            Clock::now() >= played.started + std::chrono::milliseconds(pauseAfterMs)) {
            asked = Clock::now();
            {
                const model::Model::Lock lock = model.lockForAction();
                model.pauseOrResume();
            }
            answered = Clock::now();
            std::this_thread::sleep_for(200ms); // any write still to come
            break;
        }
        std::this_thread::sleep_for(2ms);
    }
    played.writes = boards.takeWrites();
    if (asked != Clock::time_point{}) {
        const Clock::time_point lastEnd = played.writes.empty() ? asked : played.writes.back().end;
        played.pauseMs = msBetween(asked, std::max(answered, lastEnd));
        played.pauseAsked = asked;
        played.pauseAnswered = answered;
    }
    model.stopProgram();
    model.closeBoard();
    played.ok = !played.writes.empty();
    return played;
}

// Rows that switch relay 1 on and off: one frame, report or request a step on every family.
std::vector<std::string> toggling(int steps) {
    std::vector<std::string> rows;
    for (int k = 0; k < steps; ++k)
        rows.push_back(k % 2 == 0 ? "10000000-1" : "00000000-1");
    return rows;
}

// Rows that switch k relays on and off together.
std::vector<std::string> togglingRelays(int steps, int relays) {
    const std::string on = std::string(static_cast<std::size_t>(relays), '1') +
                           std::string(static_cast<std::size_t>(8 - relays), '0');
    std::vector<std::string> rows;
    for (int k = 0; k < steps; ++k)
        rows.push_back((k % 2 == 0 ? on : std::string("00000000")) + "-1");
    return rows;
}

// From each step's due time to the moment the emulation took its last byte, in ms.
struct Latency {
    bool ok = false;
    double p50 = 0, p99 = 0;
    std::string why;
};

Latency latencyOf(const Played& played, const std::vector<Clock::time_point>& taken, int steps,
                  int periodMs) {
    Latency latency;
    if (!played.ok || static_cast<int>(taken.size()) != steps) {
        latency.why = "the emulation took " + std::to_string(taken.size()) + " of " +
                      std::to_string(steps) + " steps";
        return latency;
    }
    std::vector<double> ms;
    for (int k = 0; k < steps; ++k)
        ms.push_back(msBetween(played.started + std::chrono::milliseconds(k * periodMs),
                               taken[static_cast<std::size_t>(k)]));
    latency = {true, percentileOf(ms, 0.5), percentileOf(ms, 0.99), {}};
    return latency;
}

std::string describe(const Latency& l) {
    return l.ok ? fmt("p50 %.3f ms, p99 %.3f ms", l.p50, l.p99) : l.why;
}

// --- the rigs ---------------------------------------------------------------------------------

// The boards on lines and networks: an LCUS board at the end of a paced serial line, and Modbus
// boards on a paced RTU line and on TCP. (Not beside umockdev's testbed: it takes every
// pseudo-terminal of the process for one of its own nodes, and a terminal's ioctls fail there.)
struct Rigs {
    PacedSerialLine lcusLine;
    std::unique_ptr<ModbusServer> rtu = ModbusServer::rtu();
    std::unique_ptr<ModbusServer> tcp = ModbusServer::tcp();

    Rigs() { rtu->paceAt(kBaud); }
    // The serial boards' sections name their ports, or links to them in `links` (for a serve
    // under umockdev-wrapper, see usbRows).
    std::string lcusSection(const QTemporaryDir* links = nullptr) const {
        return "[lcus]\nfamily = lcus\ndevice = " + portAt(lcusLine.path(), links, "lcus") + "\n";
    }
    std::string rtuSection(const QTemporaryDir* links = nullptr) const {
        return "[rtu]\nfamily = modbus\ndevice = " + portAt(rtu->device(), links, "rtu") + "\n";
    }
    static std::string portAt(const std::string& port, const QTemporaryDir* links,
                              const char* name) {
        if (!links)
            return port;
        const QString link = links->filePath(QString::fromLatin1(name));
        QFile::link(QString::fromStdString(port), link);
        return link.toStdString();
    }
    std::string tcpSection() const {
        return "[tcp]\nfamily = modbus\ndevice = " + tcp->device() + "\n";
    }
    // The moments the Modbus server took the last byte of each write request, since the last
    // look; every other request counted in `others`.
    static std::vector<Clock::time_point> writesTaken(ModbusServer& server, int* others) {
        std::vector<Clock::time_point> taken;
        for (const ModbusServer::Request& request : server.requests()) {
            if (request.function == 15)
                taken.push_back(request.taken);
            else if (others)
                ++*others;
        }
        server.forgetRequests();
        return taken;
    }
};

// An LCUS board of the HID kind, for serve to hold: it takes every output report.
class TakingOutputs final : public hidemu::Behaviour {
public:
    int output(const std::vector<std::uint8_t>&) override { return 0; }
};

// The USB boards on one emulated bus (a process has one testbed): a USBRelay8 and an LCUS HID
// board on hidraw at ports 1-1 and 1-2, and an FT232R at 1-5 whose every bulk write takes 1 ms,
// as a full-speed board's does, waiting for its USB frame.
struct UsbRig {
    // Asked before the bus is made: the testbed it probes with would take the bus's place.
    const bool available = hidemu::HidrawBus::available();
    hidemu::HidrawBus bus;
    usbemu::EmulatedBus ftdiBus{bus.testbed()};
    Moments sets, bulkWrites;

    UsbRig() {
        if (!available)
            return;
        bus.add(relayBoardSetup(), std::make_unique<PacedRelayFirmware>(sets));
        bus.add({0x5131, 0x2007, "", "", "", 2, {}}, std::make_unique<TakingOutputs>());
        usbemu::BoardSetup ft232r;
        ft232r.serial = "BENCH1";
        ft232r.port = 5;
        ft232r.bulkWriteTime = 1ms;
        ftdiBus.add(ft232r).onBulkWrite([this](Clock::time_point at) { bulkWrites.add(at); });
    }
    static std::string lcusHidSection() { return "[lcushid]\nfamily = lcus\ndevice = hid:1-2\n"; }
};

// --- the figures ------------------------------------------------------------------------------

constexpr int kFamilySteps = 200;

// Step due to last byte taken, a step every `periodMs` (longer than its wire time).
Latency stepLatency(std::unique_ptr<devices::Family> family, int periodMs,
                    const std::function<void()>& clear,
                    const std::function<std::vector<Clock::time_point>(const Played&)>& taken) {
    if (!family)
        return Latency{false, 0, 0, "the family did not take its configuration"};
    TracedRegistry boards(std::move(family));
    const Played played = play(boards, toggling(kFamilySteps), periodMs, clear);
    return latencyOf(played, taken(played), kFamilySteps, periodMs);
}

struct FamilyLatency {
    std::string family, pacing;
    Latency latency;
};

// The same for each family on a line or a network, and the simulated board.
std::vector<FamilyLatency> familyLatencies(Rigs& rigs) {
    const auto callEnds = [](const Played& played) {
        std::vector<Clock::time_point> ends;
        for (const WriteCall& call : played.writes)
            ends.push_back(call.end);
        return ends;
    };
    std::vector<FamilyLatency> figures;
    figures.push_back({"sim", "no wire: the write call's return",
                       stepLatency(
                           simulatedBoards(1), 5, [] {}, callEnds)});
    figures.push_back(
        {"lcus", "pseudo-terminal, a byte taken per 1.04 ms (9600 baud)",
         stepLatency(
             configured(std::make_unique<devices::lcus::LcusFamily>(false), rigs.lcusSection()), 10,
             [&] { rigs.lcusLine.frameEnds().take(); },
             [&](const Played&) { return rigs.lcusLine.frameEnds().take(); })});
    figures.push_back(
        {"modbus RTU",
         "pseudo-terminal, libmodbus server pacing 9600 baud with 3.5-character silences",
         stepLatency(
             configured(std::make_unique<devices::modbus::ModbusFamily>(), rigs.rtuSection()), 40,
             [&] { rigs.rtu->forgetRequests(); },
             [&](const Played&) { return Rigs::writesTaken(*rigs.rtu, nullptr); })});
    figures.push_back(
        {"modbus TCP", "127.0.0.1, libmodbus server, unpaced",
         stepLatency(
             configured(std::make_unique<devices::modbus::ModbusFamily>(), rigs.tcpSection()), 5,
             [&] { rigs.tcp->forgetRequests(); },
             [&](const Played&) { return Rigs::writesTaken(*rigs.tcp, nullptr); })});
    return figures;
}

// LCUS: a step switching k relays: its write call, and its due time to its last frame taken.
struct RelaySteps {
    Latency due;
    double writeP50 = 0, writeP99 = 0;
};

RelaySteps lcusRelaySteps(Rigs& rigs, int relays) {
    constexpr int kSteps = 60;
    auto family =
        configured(std::make_unique<devices::lcus::LcusFamily>(false), rigs.lcusSection());
    if (!family)
        return {{false, 0, 0, "the family did not take its configuration"}};
    TracedRegistry boards(std::move(family));
    const Played played =
        play(boards, togglingRelays(kSteps, relays), 50, [&] { rigs.lcusLine.frameEnds().take(); });
    std::vector<Clock::time_point> lastFrames;
    const std::vector<Clock::time_point> frames = rigs.lcusLine.frameEnds().take();
    for (std::size_t end = static_cast<std::size_t>(relays); end <= frames.size(); end += relays)
        lastFrames.push_back(frames[end - 1]);
    RelaySteps steps;
    steps.due = latencyOf(played,
                          frames.size() == static_cast<std::size_t>(kSteps * relays)
                              ? lastFrames
                              : std::vector<Clock::time_point>{},
                          kSteps, 50);
    std::vector<double> ms;
    for (const WriteCall& call : played.writes)
        ms.push_back(msBetween(call.start, call.end));
    steps.writeP50 = percentileOf(ms, 0.5);
    steps.writeP99 = percentileOf(ms, 0.99);
    return steps;
}

// LCUS: a 1 ms program whose steps switch a changing number of relays, paused after 1 s.
struct OneMsRun {
    bool ok = false;
    int ticks = 0, steps = 0;
    double longestGapMs = 0; // from a write's end to the next one's start
    int longestQueue = 0;    // bytes waiting in the port
    double pauseMs = -1;
    int badFrames = 0;
};

OneMsRun lcusOneMsRun(Rigs& rigs) {
    OneMsRun run;
    auto family =
        configured(std::make_unique<devices::lcus::LcusFamily>(false), rigs.lcusSection());
    if (!family)
        return run;
    TracedRegistry boards(std::move(family));
    std::vector<std::string> rows;
    for (int k = 0; k < 3000; ++k) {
        std::string row;
        for (int bit = 7; bit >= 0; --bit)
            row += ((k * 37) >> bit) & 1 ? '1' : '0';
        rows.push_back(row + "-1");
    }
    const int bad = rigs.lcusLine.badFrames();
    const Played played = play(
        boards, rows, 1,
        [&] {
            rigs.lcusLine.frameEnds().take();
            rigs.lcusLine.resetQueue();
        },
        1000);
    run.ok = played.ok && played.pauseMs >= 0;
    run.ticks = 1000;
    run.steps = static_cast<int>(played.writes.size());
    for (std::size_t k = 1; k < played.writes.size(); ++k)
        run.longestGapMs =
            std::max(run.longestGapMs, msBetween(played.writes[k - 1].end, played.writes[k].start));
    run.longestQueue = rigs.lcusLine.longestQueue();
    // Pause has taken effect on the board when the line has carried its last frame: wait for the
    // line to fall quiet.
    std::vector<Clock::time_point> frames = rigs.lcusLine.frameEnds().take();
    for (const Clock::time_point until = Clock::now() + 10s; Clock::now() < until;) {
        std::this_thread::sleep_for(100ms);
        const std::vector<Clock::time_point> more = rigs.lcusLine.frameEnds().take();
        if (more.empty())
            break;
        frames.insert(frames.end(), more.begin(), more.end());
    }
    if (run.ok)
        run.pauseMs = msBetween(
            played.pauseAsked,
            std::max({played.pauseAnswered, frames.empty() ? played.pauseAsked : frames.back(),
                      played.writes.back().end}));
    run.badFrames = rigs.lcusLine.badFrames() - bad;
    return run;
}

// Modbus RTU: each step's write call, and the requests it made.
struct RtuSteps {
    bool ok = false;
    double p50 = 0, p99 = 0;
    double requestsPerStep = 0;
};

RtuSteps rtuSteps(Rigs& rigs) {
    constexpr int kSteps = 100;
    RtuSteps figures;
    auto family = configured(std::make_unique<devices::modbus::ModbusFamily>(), rigs.rtuSection());
    if (!family)
        return figures;
    TracedRegistry boards(std::move(family));
    const Played played = play(boards, toggling(kSteps), 40, [&] { rigs.rtu->forgetRequests(); });
    int others = 0;
    const std::size_t writes = Rigs::writesTaken(*rigs.rtu, &others).size();
    std::vector<double> ms;
    for (const WriteCall& call : played.writes)
        ms.push_back(msBetween(call.start, call.end));
    figures.ok = played.writes.size() == kSteps;
    figures.p50 = percentileOf(ms, 0.5);
    figures.p99 = percentileOf(ms, 0.99);
    figures.requestsPerStep = static_cast<double>(writes + static_cast<std::size_t>(others)) /
                              static_cast<double>(kSteps);
    return figures;
}

// --- serve --all ------------------------------------------------------------------------------

struct ServeStart {
    bool ok = false;
    std::string why;
    double ms = 0, rssMiB = 0, rssLaterMiB = 0;
    int boards = 0, threads = 0;
};

double statusOf(qint64 pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0)
            return std::stod(line.substr(std::string(field).size()));
    return 0;
}

// serve --all with the boards of boards.conf, those found on the bus and `simulated` simulated
// boards beside them: from its start until every board is held and its socket answers a state
// request; its memory then and 3 s later.
ServeStart serveAll(const std::string& boardsConf, int expected, int simulated) {
    ServeStart start;
    QTemporaryDir dir;
    QDir(dir.path()).mkpath(QStringLiteral("run"));
    QDir(dir.path()).mkpath(QStringLiteral("config/tambrook"));
    {
        std::ofstream conf(
            dir.filePath(QStringLiteral("config/tambrook/boards.conf")).toStdString());
        conf << boardsConf;
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.filePath(QStringLiteral("run")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("TAMBROOK_SIMULATED_BOARDS"), QString::number(simulated));
    environment.insert(QStringLiteral("TAMBROOK_SIMULATED_BESIDE_REAL"), QStringLiteral("1"));
    QProcess serve;
    serve.setProcessEnvironment(environment);
    serve.setWorkingDirectory(dir.path());
    const Clock::time_point began = Clock::now();
    serve.start(QStringLiteral(TAMBROOK_CLI), {QStringLiteral("serve"), QStringLiteral("--all")});
    LogOf log(serve);
    const QRegularExpression opened(QStringLiteral("opened \\S+ .*serving it on (\\S+)"));
    std::vector<QString> answered;
    while (static_cast<int>(answered.size()) < expected && Clock::now() < began + 30s) {
        serve.waitForReadyRead(5);
        auto matches = opened.globalMatch(log.refresh());
        while (matches.hasNext()) {
            const QString socket = matches.next().captured(1);
            if (std::find(answered.begin(), answered.end(), socket) == answered.end() &&
                askSocket(socket, "{\"request\":\"state\"}\n").value(QStringLiteral("ok")).toBool())
                answered.push_back(socket);
        }
    }
    start.ms = msBetween(began, Clock::now());
    start.rssMiB = statusOf(serve.processId(), "VmRSS:") / 1024;
    std::this_thread::sleep_for(3s);
    start.rssLaterMiB = statusOf(serve.processId(), "VmRSS:") / 1024;
    start.threads = static_cast<int>(statusOf(serve.processId(), "Threads:"));
    start.boards = static_cast<int>(answered.size());
    start.ok = start.boards == expected;
    if (!start.ok)
        start.why = std::to_string(start.boards) + " of " + std::to_string(expected) +
                    " boards held and answering; serve said: " +
                    log.refresh().right(300).simplified().toStdString();
    serve.terminate();
    serve.waitForFinished(10000);
    return start;
}

std::string describe(const ServeStart& s) {
    return s.ok ? fmt("%.0f ms to %.0f boards held and answering, RSS %.1f MiB", s.ms, s.boards,
                      s.rssMiB) +
                      fmt(", %.1f MiB after 3 s, %.0f threads", s.rssLaterMiB, s.threads)
                : s.why;
}

// --- the rows ---------------------------------------------------------------------------------

std::string twice(const std::string& first, const std::string& second) {
    return "1st: " + first + "; 2nd: " + second;
}

std::string floorText(double (*floor)()) {
    return fmt("; bare-thread floor p99 %.3f ms", floor());
}

FamilyRow latencyRow(const std::string& family, const std::string& pacing, const Latency& first,
                     const Latency& second, const std::string& floorNote) {
    return {family + ": a step's due time to its last byte taken by the emulation (" + pacing +
                "), " + std::to_string(kFamilySteps) + " steps switching relay 1",
            "reported (p50, p99)", twice(describe(first), describe(second)) + floorNote,
            first.ok && second.ok};
}

} // namespace

std::vector<FamilyRow> familyRows(double (*floor)()) {
    Rigs rigs;
    QTemporaryDir scratch;
    QDir::setCurrent(scratch.path());
    std::vector<FamilyRow> rows;
    const std::string floorNote = floorText(floor);

    // Per family, twice.
    {
        const std::vector<FamilyLatency> first = familyLatencies(rigs);
        const std::vector<FamilyLatency> second = familyLatencies(rigs);
        for (std::size_t k = 0; k < first.size(); ++k)
            rows.push_back(latencyRow(first[k].family, first[k].pacing, first[k].latency,
                                      second[k].latency, floorNote));
    }
    // LCUS at 9600 baud: k relays a step, and a 1 ms program with Pause.
    for (const int relays : {1, 4, 8}) {
        const double wire = relays * 4 * 10 * 1000.0 / kBaud;
        const RelaySteps a = lcusRelaySteps(rigs, relays), b = lcusRelaySteps(rigs, relays);
        const double target = 1.1 * wire;
        const auto text = [](const RelaySteps& r) {
            return fmt("write p50 %.3f ms, p99 %.3f ms", r.writeP50, r.writeP99) +
                   "; due to last frame taken " + describe(r.due);
        };
        const auto passes = [&](const RelaySteps& r) {
            return r.due.ok && r.writeP50 >= wire && r.writeP99 <= target && r.due.p50 <= target;
        };
        rows.push_back({"lcus at 9600 baud: a step switching " + std::to_string(relays) +
                            (relays == 1 ? " relay" : " relays") + ", 60 steps",
                        fmt("write p50 >= %.2f ms of frames, p99 <= %.2f ms (1.1 x); due to "
                            "last frame taken p50 <= %.2f ms",
                            wire, target, target),
                        twice(text(a), text(b)) + floorNote, passes(a) && passes(b)});
    }
    {
        const OneMsRun a = lcusOneMsRun(rigs), b = lcusOneMsRun(rigs);
        const auto text = [](const OneMsRun& r) {
            if (!r.ok)
                return std::string("the run did not play or pause");
            return std::to_string(r.steps) + " steps in " + std::to_string(r.ticks) + " ticks (" +
                   std::to_string(r.ticks - r.steps) + " merged), longest gap " +
                   fmt("%.2f ms", r.longestGapMs) + " between writes, longest queue " +
                   std::to_string(r.longestQueue) + " bytes, Pause " + fmt("%.2f ms", r.pauseMs) +
                   (r.badFrames ? ", " + std::to_string(r.badFrames) + " bad frames" : "");
        };
        const auto passes = [](const OneMsRun& r) {
            return r.ok && r.steps < r.ticks && r.longestQueue <= 36 && r.pauseMs <= 100 &&
                   r.badFrames == 0 && r.longestGapMs <= 2;
        };
        rows.push_back({"lcus at 9600 baud: a 1 ms program, paused after 1 s",
                        "ticks merge; the port's queue no longer than a step's frames and one more "
                        "(36 bytes); Pause <= 100 ms, to the last frame on the line",
                        twice(text(a), text(b)) + floorNote, passes(a) && passes(b)});
    }
    // Modbus RTU at 9600 baud: a request and its answer, with the silences after each.
    {
        const double wire = (10 + 8 + 2 * 3.5) * 10 * 1000.0 / kBaud;
        const RtuSteps a = rtuSteps(rigs), b = rtuSteps(rigs);
        const auto text = [](const RtuSteps& r) {
            return r.ok ? fmt("%.2f requests a step; write p50 %.2f ms, p99 %.2f ms",
                              r.requestsPerStep, r.p50, r.p99)
                        : std::string("the board did not take every step");
        };
        const auto passes = [&](const RtuSteps& r) {
            return r.ok && r.requestsPerStep == 1.0 && r.p99 <= 1.1 * wire;
        };
        rows.push_back({"modbus RTU at 9600 baud: a step's write call, 100 steps",
                        fmt("1 request a step; p99 <= %.2f ms (1.1 x %.2f ms: 10 + 8 bytes and "
                            "two 3.5-character silences)",
                            1.1 * wire, wire),
                        twice(text(a), text(b)) + floorNote, passes(a) && passes(b)});
    }
    return rows;
}

std::vector<FamilyRow> usbRows(double (*floor)()) {
    UsbRig usb;
    if (!usb.available)
        return {
            {"hid and ftdi: the emulated bus", "reported", "not under umockdev-wrapper", false}};
    QTemporaryDir scratch;
    QDir::setCurrent(scratch.path());
    const std::string floorNote = floorText(floor);
    const auto measure = [](std::unique_ptr<devices::Family> family, Moments& taken) {
        return stepLatency(
            std::move(family), 5, [&] { taken.take(); },
            [&](const Played&) { return taken.take(); });
    };
    const auto hid = [] { return std::make_unique<devices::hid::HidFamily>(); };
    const auto ftdi = [] { return devices::ftdi::makeLibFtdiFamily({}); };
    const Latency a = measure(hid(), usb.sets), b = measure(hid(), usb.sets);
    const Latency c = measure(ftdi(), usb.bulkWrites), d = measure(ftdi(), usb.bulkWrites);
    std::vector<FamilyRow> rows{
        latencyRow("hid", "hidraw on umockdev, each feature report 1 ms, one USB frame", a, b,
                   floorNote),
        latencyRow("ftdi",
                   "FT232R at usbdevfs on umockdev, each bulk write 1 ms, a full-speed frame", c, d,
                   floorNote)};
    // One board of each family at once, and 50 simulated boards beside them. The serial boards
    // are configured at links, as /dev/serial/by-path names an adapter: umockdev's preload wraps
    // every node opened by a /dev name while its testbed is up, and answers a terminal's
    // TIOCEXCL there itself (ENOTTY), which the LCUS link would take for a port it cannot hold.
    const Rigs lines;
    const QTemporaryDir links;
    const std::string conf = lines.lcusSection(&links) + lines.rtuSection(&links) +
                             lines.tcpSection() + UsbRig::lcusHidSection();
    const ServeStart e = serveAll(conf, 56, 50), f = serveAll(conf, 56, 50);
    rows.push_back({"serve --all with one board of each family (ftdi, hid, lcus serial and HID, "
                    "modbus RTU and TCP, on their emulations) and 50 simulated boards: start-up, "
                    "RSS and threads",
                    "reported", twice(describe(e), describe(f)) + floorNote, e.ok && f.ok});
    return rows;
}
