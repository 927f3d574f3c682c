#pragma once

// The figures of the board families on their emulations, each paced as its wire would be: a
// step's due time to its last byte taken, the LCUS and Modbus RTU lines at 9600 baud, and serve
// holding one board of each family and simulated boards at once. The bench measures them in two
// children of its own (`tambrook_bench --families` runs both): the lines and networks in one, the
// USB boards and serve in one under umockdev-wrapper with the hidraw rig's preload.

#include <string>
#include <vector>

struct FamilyRow {
    std::string figure, target, measured;
    bool pass = false;
};

// Each row twice, the two measurements side by side, beside the bare-thread floor of the run.
// `floor` measures that floor (p99 lateness of a thread sleeping to 1 ms deadlines), in ms.
// sim, lcus, modbus RTU and TCP.
std::vector<FamilyRow> familyRows(double (*floor)());
// hid and ftdi on the emulated bus, and serve holding every family: the process must run under
// umockdev-wrapper.
std::vector<FamilyRow> usbRows(double (*floor)());
