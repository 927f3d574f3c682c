#pragma once

#include <string>
#include <vector>

// tambrook-cli: the boards and programs of the window from scripts and timers, on the same
// model, sequencer and backends. Returns the exit status: 0 done; 1 no such board, the board
// could not be opened or a driver call failed; 2 bad usage or bad input.
namespace cli {

int runCli(const std::vector<std::string>& arguments);

} // namespace cli
