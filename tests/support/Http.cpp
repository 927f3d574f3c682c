#include "support/Http.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>

QByteArray HttpAnswer::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

QJsonObject HttpAnswer::json() const {
    return QJsonDocument::fromJson(body).object();
}

HttpAnswer httpRequest(const QByteArray& method, const QString& url, const QByteArray& body,
                       const HttpHeaders& headers, const QString& caFile) {
    QNetworkAccessManager client;
    client.setCookieJar(nullptr);
    QNetworkRequest request{QUrl(url)};
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setTransferTimeout(10000);
    if (!caFile.isEmpty()) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslCertificate::fromPath(caFile));
        request.setSslConfiguration(tls);
    }
    if (!body.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/json"));
    for (const auto& [name, value] : headers)
        request.setRawHeader(name, value);
    QNetworkReply* reply = client.sendCustomRequest(request, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(15000, &loop, &QEventLoop::quit);
    loop.exec();
    HttpAnswer answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = reply->readAll();
    answer.headers = reply->rawHeaderPairs();
    reply->deleteLater();
    return answer;
}

HttpServe::~HttpServe() {
    stopServing();
}

bool HttpServe::startServing(const QStringList& arguments) {
    environment().insert(QStringLiteral("XDG_STATE_HOME"), path("state"));
    start(serve, QStringList{QStringLiteral("serve"), QStringLiteral("--all"),
                             QStringLiteral("--http"), QStringLiteral("127.0.0.1:0")} +
                     arguments);
    log_.emplace(serve);
    if (!log_->waitFor(QStringLiteral("the web page: ")))
        return false;
    static const QRegularExpression page(
        QStringLiteral("the web page: (https?://127\\.0\\.0\\.1:(\\d+))/\\?token=(\\S+)"));
    const QRegularExpressionMatch found = page.match(log_->text());
    base = found.captured(1);
    port = static_cast<quint16>(found.captured(2).toUInt());
    token = found.captured(3).toLatin1();
    return found.hasMatch();
}

void HttpServe::stopServing() {
    if (serve.state() == QProcess::NotRunning)
        return;
    serve.terminate();
    serve.waitForFinished(5000);
}

HttpAnswer HttpServe::request(const QByteArray& method, const QString& path,
                              const QByteArray& body) {
    return request(method, path, body, bearer());
}

HttpAnswer HttpServe::request(const QByteArray& method, const QString& path, const QByteArray& body,
                              const HttpHeaders& headers) {
    return httpRequest(method, base + path, body, headers, caFile);
}
