#include "service/StartAndExit.h"

#include "devices/RelayMap.h"
#include "model/SafeFile.h"
#include "model/Snapshot.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace service {

namespace {

constexpr int kLookMs = 200; // how soon the keeper sees that it is to go, without a change
constexpr std::size_t kFileBytes = 9;

bool isAbsolute(const std::string& path) {
    return !path.empty() && path.front() == '/';
}

} // namespace

bool makeFolders(const std::string& folder) {
    for (std::size_t slash = 0; slash != std::string::npos;) {
        slash = folder.find('/', slash + 1);
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

RelayWrite startWrite(const devices::BoardOptions& options, int relayCount,
                      const std::optional<LastRelays>& last) {
    RelayWrite write;
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        if (entry.relay > relayCount)
            break;
        const devices::StartState state =
            options.relay(entry.relay).onStart.value_or(options.onStart);
        bool on = state == devices::StartState::On;
        if (state == devices::StartState::Last) {
            if (!last || !(last->known & entry.mask))
                continue;
            on = last->relays & entry.mask;
        } else if (state == devices::StartState::Keep) {
            continue;
        }
        write.which |= entry.mask;
        if (on)
            write.relays |= entry.mask;
    }
    return write;
}

RelayWrite exitWrite(const devices::BoardOptions& options, int relayCount) {
    RelayWrite write;
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        if (entry.relay <= relayCount &&
            options.relay(entry.relay).onExit.value_or(options.onExit) == devices::ExitState::Off)
            write.which |= entry.mask;
    return write;
}

bool keepsLast(const devices::BoardOptions& options) {
    return std::any_of(options.relays.begin(), options.relays.end(), [&](const auto& relay) {
        return relay.onStart.value_or(options.onStart) == devices::StartState::Last;
    });
}

bool applyWrite(model::Model& model, const RelayWrite& write) {
    if (write.which == 0)
        return true;
    const model::Model::Lock lock = model.lockForAction();
    const std::uint8_t now = model.snapshot()->relayByte;
    return model.switchRelays(write.which, static_cast<std::uint8_t>((now & ~write.which) |
                                                                     (write.relays & write.which)));
}

std::string stateFolder(const std::function<std::string(const char* name)>& getenv) {
    if (const std::string state = getenv("XDG_STATE_HOME"); isAbsolute(state))
        return state + "/tambrook";
    if (const std::string given = getenv("STATE_DIRECTORY"); isAbsolute(given))
        return given.substr(0, given.find(':')); // systemd lists one folder per StateDirectory
    if (const std::string home = getenv("HOME"); isAbsolute(home) && ::geteuid() != 0)
        return home + "/.local/state/tambrook";
    return "/var/lib/tambrook";
}

std::string stateFolder() {
    return stateFolder([](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value ? value : "");
    });
}

std::string lastStatePath(const std::string& folder, const std::string& id) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string name;
    for (const char c : id) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '.' || c == '_' || c == '-') {
            name += c;
        } else {
            name += '%';
            name += kHex[byte >> 4];
            name += kHex[byte & 0xF];
        }
    }
    if (name.empty() || name.front() == '.')
        name = "%" + name; // never a hidden file, nor "." or ".."
    return folder + '/' + name + ".last";
}

std::string lastRelaysText(const LastRelays& last) {
    std::string text(devices::kMaxRelays, '0');
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        char& shown = text[static_cast<std::size_t>(entry.relay - 1)];
        shown = !(last.known & entry.mask) ? '?' : (last.relays & entry.mask) ? '1' : '0';
    }
    return text + '\n';
}

std::optional<LastRelays> readLastRelays(const std::string& path) {
    safefile::InputFile file = safefile::InputFile::open(path, kFileBytes);
    if (!file.isOpen())
        return std::nullopt;
    const std::string text = file.readPrefix(kFileBytes);
    if (text.size() != kFileBytes || text.back() != '\n')
        return std::nullopt;
    LastRelays last;
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        const char shown = text[static_cast<std::size_t>(entry.relay - 1)];
        if (shown != '0' && shown != '1' && shown != '?')
            return std::nullopt;
        if (shown != '?')
            last.known |= entry.mask;
        if (shown == '1')
            last.relays |= entry.mask;
    }
    return last;
}

LastStateKeeper::LastStateKeeper(const model::Model& model, std::string path)
    : model_(model)
    , path_(std::move(path))
    , changes_(model.changes().subscribe())
    , thread_([this] { run(); }) {}

LastStateKeeper::~LastStateKeeper() {
    quit_ = true;
    thread_.join();
}

// The pattern is taken from the published snapshot, never under the model's lock; only one that
// differs from the last written goes to the disk. A failed write is tried again at the next
// change.
void LastStateKeeper::run() {
    const std::size_t slash = path_.rfind('/');
    const bool folder = slash == std::string::npos || makeFolders(path_.substr(0, slash));
    std::optional<LastRelays> written = readLastRelays(path_);
    for (bool going = false; folder && !going;) {
        going = quit_;
        if (!going && !changes_->waitForChange(kLookMs))
            continue;
        const std::shared_ptr<const model::Snapshot> shown = model_.snapshot();
        if (!shown || !shown->boardFound)
            continue;
        // A pulsed relay is kept as it will be after its off edge: never restored mid-pulse.
        const LastRelays now{shown->relayByteBeneathPulses, shown->knownRelays};
        if (written && written->relays == now.relays && written->known == now.known)
            continue;
        if (!safefile::replaceFile(path_, lastRelaysText(now)))
            written = now;
    }
}

} // namespace service
