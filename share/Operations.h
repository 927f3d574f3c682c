#pragma once

#include "model/Model.h"

#include <optional>
#include <string>
#include <variant>

// What every front end that shares a board does with it, on the holder's model: switching
// relays, playing a program given as text, and the run's buttons. Each takes the model's lock
// itself and never waits for anything else.
namespace share {

// A run's state as front ends name it: "idle", "running" or "paused".
const char* runName(model::Run run);

// One write of the whole pattern; whether the board took it.
bool setRelays(model::Model& model, std::uint8_t byte);
// One write: the relays given switched on, off or over, the others kept.
enum class Switch { On, Off, Toggle };
bool switchRelays(model::Model& model, const std::vector<int>& relays, Switch how);
// A program's text, read by the rules of a program file and checked whole: its rows, or why
// they cannot be played. Takes no lock: a long program is checked while the board plays on.
std::variant<ProgramRows, std::string> checkedProgram(const std::string& text, bool repeat);
// Plays rows checked before; a running program is stopped first, as "Open File" and "Start"
// would. A resolution or repeat not given keeps the holder's own (the window's slider and
// "Repeat").
void playRows(model::Model& model, ProgramRows rows, std::optional<int> resolution,
              std::optional<bool> repeat);
// Both: why the text cannot be played, or nothing once it plays. The program is checked before
// the lock is taken, with the holder's Repeat as it stands then when none is given.
std::optional<std::string> playProgram(model::Model& model, const std::string& text,
                                       std::optional<int> resolution, std::optional<bool> repeat);
// The run's buttons; each does nothing where its button would do nothing.
void stopProgram(model::Model& model);
void pauseProgram(model::Model& model);
void resumeProgram(model::Model& model);

} // namespace share
