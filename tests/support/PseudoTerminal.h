#pragma once

// A serial port without hardware: a pseudo-terminal whose far end the test reads, as the board
// at the end of a serial line would.

#include <QByteArray>
#include <QString>

class PseudoTerminal {
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool isOpen() const { return far_ >= 0; }
    // The port's node (/dev/pts/N), for the program to open.
    QString path() const { return path_; }
    // The bytes that reached the far end since the last call; none when nothing came.
    QByteArray take();
    // The far end goes away as an unplugged adapter does: the port hangs up and its node is gone.
    void hangUp();
    // Stopped, the port sends nothing on (as a board that takes no byte): what is written stays
    // queued until it is started again.
    void setStopped(bool stopped);

private:
    int far_ = -1;
    int near_ = -1; // kept open so that the port stays while the program has not opened it
    QString path_;
};
