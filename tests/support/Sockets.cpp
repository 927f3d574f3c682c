#include "support/Sockets.h"

#include <QFile>
#include <QJsonDocument>

#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

sockaddr_un socketAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

SocketClient::SocketClient(const std::string& path)
    : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_un address = socketAddress(path);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

SocketClient::~SocketClient() {
    ::close(fd_);
}

void SocketClient::send(const std::string& bytes) {
    ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void SocketClient::sendNoMore() {
    ::shutdown(fd_, SHUT_WR);
}

bool SocketClient::closedByHolder(int timeoutMs) {
    while (!line(timeoutMs).empty()) {
    }
    char byte;
    pollfd pfd{fd_, POLLIN, 0};
    return ::poll(&pfd, 1, 0) == 1 && ::recv(fd_, &byte, 1, MSG_DONTWAIT) == 0;
}

std::string SocketClient::line(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (buffer_.find('\n') == std::string::npos) {
        pollfd pfd{fd_, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
            return {};
        char chunk[4096];
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got <= 0)
            return {};
        buffer_.append(chunk, static_cast<std::size_t>(got));
    }
    const std::size_t end = buffer_.find('\n');
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    return line;
}

QJsonObject askSocket(const QString& path, const QByteArray& line) {
    SocketClient client(QFile::encodeName(path).toStdString());
    if (!client.connected())
        return {};
    client.send(line.toStdString());
    // Long enough for any holder that answers at all; one that never does fails the test.
    return QJsonDocument::fromJson(QByteArray::fromStdString(client.line(30000))).object();
}
