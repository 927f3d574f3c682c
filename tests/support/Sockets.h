#pragma once

// A client of a holder's socket, speaking to it as any other program would: lines both ways.

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <string>
#include <sys/un.h>

// The address of the local socket at `path`.
sockaddr_un socketAddress(const std::string& path);

class SocketClient {
public:
    explicit SocketClient(const std::string& path);
    ~SocketClient();
    SocketClient(const SocketClient&) = delete;
    SocketClient& operator=(const SocketClient&) = delete;

    bool connected() const { return connected_; }
    void send(const std::string& bytes);
    void sendNoMore();
    // Whether the holder closed this connection within timeoutMs (what it sent before is read).
    bool closedByHolder(int timeoutMs = 5000);
    // The next line, or nothing after timeoutMs.
    std::string line(int timeoutMs = 5000);

private:
    int fd_;
    bool connected_ = false;
    std::string buffer_;
};

// One request line to the socket at `path` and the reply to it.
QJsonObject askSocket(const QString& path, const QByteArray& line);
