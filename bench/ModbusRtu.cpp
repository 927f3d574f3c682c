#include "ModbusRtu.h"

#include "devices/Config.h"
#include "devices/modbus/ModbusFamily.h"
#include "support/ModbusServer.h"

#include <algorithm>
#include <chrono>
#include <variant>
#include <vector>

namespace {

constexpr int kBaud = 9600;
// Write multiple coils for eight coils: address, function, first coil, count, byte count, one
// byte of coils, CRC; the answer echoes the first coil and the count.
constexpr int kRequestBytes = 10;
constexpr int kAnswerBytes = 8;

double percentileOf(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

} // namespace

ModbusRtuFigures measureModbusRtu(int steps) {
    ModbusRtuFigures figures;
    figures.wireMs = (kRequestBytes + kAnswerBytes) * 10 * 1000.0 / kBaud;
    const auto server = ModbusServer::rtu();
    server->paceAt(kBaud);
    auto parsed = devices::parseConfiguration(
        "[rtu]\nfamily = modbus\ndevice = " + server->device() + "\n", "bench");
    devices::modbus::ModbusFamily family;
    if (family.configure(std::get<devices::Configuration>(parsed).boards) ||
        family.enumerate().size() != 1)
        return figures;
    const auto board = family.open(0);
    std::vector<double> times;
    figures.ok = board->isOpen();
    for (int step = 0; step < steps && figures.ok; ++step) {
        const auto start = std::chrono::steady_clock::now();
        figures.ok = board->writeRelays(static_cast<std::uint8_t>(step * 37)).ok();
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    if (!figures.ok)
        return figures;
    figures.p50Ms = percentileOf(times, 0.5);
    figures.p99Ms = percentileOf(times, 0.99);
    figures.requestsPerStep = static_cast<double>(server->requests().size()) / steps;
    return figures;
}
