#pragma once

// A Mosquitto broker of the caller's own, on a free loopback port, for as long as it lives.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class Broker {
public:
    // `access`: the lines of its configuration that say who may connect and how (anonymous
    // clients when empty). Started later, it keeps its port, as a broker that restarts does.
    explicit Broker(QString access = {}, bool startNow = true);
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // Whether there is a broker to run at all.
    static bool installed();
    // Starts it and waits, up to 5 s, until it takes connections; false if it did not.
    bool start();
    void stop();
    bool running() const { return running_; }
    int port() const { return port_; }
    QString url(const QString& scheme = QStringLiteral("mqtt"), const QString& user = {}) const;

    // Whether the broker and its command-line clients are there to run.
    static bool installedWithClients();
    // The retained or new messages under `topic` within two seconds (up to `count` of them), as
    // "topic payload", through mosquitto_sub.
    QStringList messages(const QString& topic, int count = 100) const;
    // One message, through mosquitto_pub.
    void publish(const QString& topic, const QString& payload) const;

private:
    QTemporaryDir dir_;
    QString access_;
    int port_ = 0;
    QProcess process_;
    bool running_ = false;
};
