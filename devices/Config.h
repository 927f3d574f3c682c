#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// Boards named by configuration: the sections of boards.conf, and the boards named on the command
// line as FAMILY:DEVICE[,KEY=VALUE]... Each section is one board; its name is the board's id.
namespace devices {

// One KEY = VALUE of a board, with where it was written (for messages: "boards.conf:12").
struct Setting {
    std::string value;
    std::string where;
};

struct ConfiguredBoard {
    std::string id;    // the section's name, or FAMILY:DEVICE from the command line
    std::string where; // the section's first line, or "--board"
    std::map<std::string, Setting> settings; // family, device, relays, address, baud, profile, ...

    const Setting* find(const std::string& key) const {
        const auto found = settings.find(key);
        return found == settings.end() ? nullptr : &found->second;
    }
    std::string value(const std::string& key, const std::string& otherwise = {}) const {
        const Setting* setting = find(key);
        return setting ? setting->value : otherwise;
    }
};

struct Configuration {
    std::vector<ConfiguredBoard> boards;
    const ConfiguredBoard* board(const std::string& id) const;
};

// Why a configuration was refused: one message naming the file and line (or the argument).
struct ConfigError {
    std::string message;
};

// boards.conf: "[ID]" starts a board, "KEY = VALUE" sets one of its keys, "#" or ";" starts a
// comment line, blank lines are skipped. A key outside a section, a section named twice, a key
// given twice in a section or a line that is none of these is an error; so is a file that
// exists but cannot be read. No file: no boards.
std::variant<Configuration, ConfigError> readConfiguration(const std::string& path);

// The same from text, named `where` in messages.
std::variant<Configuration, ConfigError> parseConfiguration(const std::string& text,
                                                            const std::string& where);

// A board named on the command line: FAMILY:DEVICE[,KEY=VALUE]... (its family and device go in
// as the keys "family" and "device").
std::variant<ConfiguredBoard, ConfigError> parseBoardArgument(const std::string& text);

// Whether a --board names a configured board this way (FAMILY:...), rather than a number, id,
// serial or port path.
bool namesFamily(const std::string& text);

// Whether a family of this name exists in some build ("ftdi", "hid", "lcus", "modbus", "sim").
bool isFamilyName(const std::string& name);

// The keys of how a board is reached; beside them a section holds only relay options
// (isOptionKey), any other key is refused with its line.
bool isBoardKey(const std::string& key);

// Where boards.conf is: $XDG_CONFIG_HOME/tambrook/boards.conf (~/.config/...), or for a system
// service (no home to speak of: root without XDG_CONFIG_HOME, or the service's user)
// /etc/tambrook/boards.conf. TAMBROOK_BOARDS_CONF overrides both. Empty: there is none.
std::string configurationPath(const std::function<std::string(const char* name)>& getenv);
std::string configurationPath();

// A relay count as configured: 1 to 8.
std::optional<int> relayCountOf(const std::string& text);

} // namespace devices
