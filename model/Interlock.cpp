#include "model/Interlock.h"

#include "devices/RelayMap.h"
#include "model/RangeError.h"
#include "model/StepText.h"

#include <bit>

namespace model {

namespace {

std::uint8_t maskOf(const std::vector<int>& relays) {
    std::uint8_t mask = 0;
    for (const int relay : relays)
        if (relay >= 1 && relay <= devices::kRelayCount)
            mask |= devices::relayEntry(relay).mask;
    return mask;
}

// "1+2": a group as boards.conf writes it.
std::string groupText(std::uint8_t group) {
    std::string text;
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        if (group & entry.mask)
            text += (text.empty() ? "" : "+") + std::to_string(entry.relay);
    return text;
}

// "relays 1 and 2".
std::string relaysText(std::uint8_t relays) {
    std::vector<int> numbers;
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        if (relays & entry.mask)
            numbers.push_back(entry.relay);
    std::string text = numbers.size() == 1 ? "relay " : "relays ";
    for (std::size_t i = 0; i < numbers.size(); ++i)
        text += (i == 0                    ? ""
                 : i + 1 == numbers.size() ? " and "
                                           : ", ") +
                std::to_string(numbers[i]);
    return text;
}

bool severalOf(std::uint8_t relays) {
    return std::popcount(relays) >= 2;
}

} // namespace

Interlocks::Interlocks(const devices::BoardOptions& options)
    : policy_(options.interlockPolicy)
    , deadTime_(options.interlockDeadTime) {
    for (const std::vector<int>& group : options.interlocks)
        if (const std::uint8_t mask = maskOf(group); severalOf(mask))
            groups_.push_back(mask);
}

std::optional<std::string> Interlocks::breach(std::uint8_t asserted, std::uint8_t after) const {
    for (const std::uint8_t group : groups_)
        if ((group & asserted) && severalOf(group & after))
            return relaysText(group & after) + " may never be on together (interlock " +
                   groupText(group) + ")";
    return std::nullopt;
}

std::variant<InterlockSwitch, std::string> Interlocks::plan(std::uint8_t before, std::uint8_t which,
                                                            std::uint8_t after) const {
    const auto asserted = static_cast<std::uint8_t>(which & after);
    std::uint8_t offFirst = 0;
    std::uint8_t onAfter = 0;
    for (const std::uint8_t group : groups_) {
        if (severalOf(group & asserted))
            return "this write turns on " + relaysText(group & asserted) +
                   " together, which interlock " + groupText(group) +
                   " forbids; interlock_policy = switch cannot tell which of them to keep, so "
                   "nothing was written";
        const auto others = static_cast<std::uint8_t>(group & ~asserted & (before | after));
        if (!(group & asserted) || !others)
            continue;
        offFirst |= others;
        // Held back even where it may be on already (unknown, or beside another on): it goes on
        // only once the others have been off for the dead time.
        onAfter |= static_cast<std::uint8_t>(group & asserted);
    }
    if (!offFirst)
        return InterlockSwitch{which, after, 0};
    return InterlockSwitch{static_cast<std::uint8_t>(which | offFirst),
                           static_cast<std::uint8_t>(after & ~offFirst & ~onAfter), onAfter};
}

InterlockSwitch planInterlockedWrite(const Interlocks& interlocks, std::uint8_t before,
                                     std::uint8_t which, std::uint8_t relays) {
    if (interlocks.empty() || interlocks.policy() == devices::InterlockPolicy::Reject)
        return {which, relays, 0};
    std::variant<InterlockSwitch, std::string> planned = interlocks.plan(before, which, relays);
    if (auto* why = std::get_if<std::string>(&planned))
        throw InterlockRefused(*why);
    return std::get<InterlockSwitch>(planned);
}

std::optional<InterlockBreach> findInterlockBreach(const ProgramRows& rows,
                                                   const Interlocks& interlocks) {
    if (interlocks.empty())
        return std::nullopt;
    for (std::size_t row = 0; row < rows.size(); ++row) {
        std::uint8_t byte = 0;
        try {
            byte = steps::relayByteOfRow(rows.at(row));
        } catch (const RangeError&) {
            continue;
        }
        if (std::optional<std::string> why = interlocks.breach(byte, byte))
            return InterlockBreach{row, *why};
    }
    return std::nullopt;
}

} // namespace model
