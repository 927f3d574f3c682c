#pragma once

// One four-relay board of each family on its emulation, behind one face, so that a suite can
// run the same case on every family: the USBRelay firmware and the LCUS HID kind on emulated
// hidraw nodes (the process runs under umockdev-wrapper), the LCUS serial kind on a
// pseudo-terminal, Modbus RTU on a pseudo-terminal and Modbus TCP on 127.0.0.1. Serial boards
// are configured at a link in the rig's folder, as /dev/serial/by-path names an adapter, so that
// an adapter plugged back on another node keeps its name.

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>

class EmulatedBoard {
public:
    virtual ~EmulatedBoard() = default;

    // The board's id, as list, serve and MQTT name it.
    virtual QString id() const = 0;
    // Its boards.conf section; empty for a board that is found on the bus as it is.
    virtual QString configuration() const = 0;
    // The relays as the board has switched them (a relay never written reads as off).
    virtual std::uint8_t relays() = 0;
    // The device leaves (its node removed, its port hung up, its server stopped), and comes back
    // with the relays it had.
    virtual void unplug() = 0;
    virtual void plugBack() = 0;
    // Wedged, the board takes requests and answers none, until it is let go.
    virtual void setWedged(bool wedged) = 0;

protected:
    QString linkPath() const { return folder_.filePath(QStringLiteral("port")); }
    // The link made to point at `node`.
    void linkTo(const QString& node) const;

private:
    QTemporaryDir folder_;
};

// The families' names, as the cases' rows name them.
QStringList emulatedFamilies();
// The board of `family`, or nothing when this process cannot emulate it (hidraw outside
// umockdev-wrapper).
std::unique_ptr<EmulatedBoard> emulateBoard(const QString& family);
