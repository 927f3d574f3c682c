#pragma once

// serve --http as a test runs it (on simulated boards, in a folder of its own, on a free port),
// and a real HTTP client that waits for each answer.

#include "support/Cli.h"
#include "support/Processes.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>

#include <optional>

using HttpHeaders = QList<QPair<QByteArray, QByteArray>>;

struct HttpAnswer {
    int status = 0; // 0: no answer (refused, reset, timed out)
    QByteArray body;
    HttpHeaders headers;
    QByteArray header(const QByteArray& name) const;
    QJsonObject json() const;
};

// One request through Qt's own client, redirects not followed and no cookie kept, with the
// headers given and nothing else of ours. A TLS server's certificate is checked against caFile
// when given.
HttpAnswer httpRequest(const QByteArray& method, const QString& url, const QByteArray& body = {},
                       const HttpHeaders& headers = {}, const QString& caFile = {});

class HttpServe : public CliRig {
public:
    explicit HttpServe(int boards = 1, const QString& pins = {})
        : CliRig(boards, pins) {}
    ~HttpServe();
    // serve --all --http 127.0.0.1:0 and the arguments given; whether it logged its page.
    bool startServing(const QStringList& arguments = {});
    void stopServing();

    // Through the bearer header unless other headers are given.
    HttpAnswer request(const QByteArray& method, const QString& path, const QByteArray& body = {});
    HttpAnswer request(const QByteArray& method, const QString& path, const QByteArray& body,
                       const HttpHeaders& headers);
    HttpHeaders bearer() const { return {{"Authorization", "Bearer " + token}}; }
    // The page's cookie, as a browser sends it, and the page's own origin.
    HttpHeaders cookie() const { return {{"Cookie", "tambrook_token=" + token}}; }
    QByteArray origin() const { return base.toLatin1(); }

    QString base; // http://127.0.0.1:PORT
    quint16 port = 0;
    QByteArray token;
    QString caFile; // for a server with a certificate
    QProcess serve;
    LogOf& log() { return *log_; }

private:
    std::optional<LogOf> log_; // of the serve started last
};
