#pragma once

// The Modbus RTU figure: steps written to a board at 9600 baud behind a pseudo-terminal, the
// test's server holding each answer back for the line's wire time.
struct ModbusRtuFigures {
    double p50Ms = 0, p99Ms = 0; // one step: from the write's call to its answer taken
    double wireMs = 0;           // a step's request and answer at 9600 baud, 10 bits a byte
    double requestsPerStep = 0;
    bool ok = false; // every step written
};

ModbusRtuFigures measureModbusRtu(int steps);
