#include "PseudoTerminal.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal() {
    char name[PATH_MAX] = {};
    if (::openpty(&far_, &near_, name, nullptr, nullptr) != 0) {
        far_ = near_ = -1;
        return;
    }
    termios raw{};
    ::tcgetattr(near_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(near_, TCSANOW, &raw);
    ::fcntl(far_, F_SETFL, ::fcntl(far_, F_GETFL) | O_NONBLOCK);
    path_ = QString::fromLocal8Bit(name);
}

PseudoTerminal::~PseudoTerminal() {
    hangUp();
}

QByteArray PseudoTerminal::take() {
    QByteArray bytes;
    char chunk[4096];
    while (far_ >= 0) {
        const ssize_t got = ::read(far_, chunk, sizeof chunk);
        if (got > 0)
            bytes.append(chunk, got);
        else if (got < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    return bytes;
}

void PseudoTerminal::hangUp() {
    if (near_ >= 0)
        ::close(near_);
    if (far_ >= 0)
        ::close(far_);
    far_ = near_ = -1;
}

void PseudoTerminal::setStopped(bool stopped) {
    if (near_ >= 0)
        ::tcflow(near_, stopped ? TCOOFF : TCOON);
}
