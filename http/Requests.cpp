#include "http/Requests.h"

#include "service/Programs.h"
#include "share/Request.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <optional>

namespace http {

namespace {

std::optional<QJsonObject> objectOf(std::string_view text) {
    if (text.size() > kMaxBodyBytes)
        return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray(text.data(), static_cast<qsizetype>(text.size())), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

// The socket's reader judges the request as the socket protocol writes it.
std::variant<service::Command, std::string> socketRequest(QJsonObject request) {
    const QByteArray line = QJsonDocument(request).toJson(QJsonDocument::Compact);
    std::variant<share::Request, std::string> parsed = share::parseRequest(
        std::string_view(line.constData(), static_cast<std::size_t>(line.size())));
    if (const auto* why = std::get_if<std::string>(&parsed))
        return *why;
    return static_cast<service::Command>(std::get<share::Request>(std::move(parsed)));
}

std::variant<BodyRequest, std::string> asBody(std::variant<service::Command, std::string> made) {
    if (auto* why = std::get_if<std::string>(&made))
        return std::move(*why);
    return BodyRequest{std::get<service::Command>(std::move(made)), {}};
}

// {"program": ...} or {"name": ...}, each with "resolution" and "repeat" when given.
std::variant<BodyRequest, std::string> playOf(QJsonObject object) {
    const QJsonValue name = object.value(QStringLiteral("name"));
    if (name.isUndefined())
        return asBody(socketRequest(object));
    if (!object.value(QStringLiteral("program")).isUndefined())
        return std::string("play takes \"program\" or \"name\", not both");
    const std::string file = name.toString().toStdString();
    if (!name.isString() || !service::isProgramName(file))
        return std::string("\"name\" takes the name of a file in the programs folder");
    // Judged with a program that plays, so that only the other arguments are looked at here.
    object.insert(QStringLiteral("program"), QStringLiteral("00000000-1"));
    object.remove(QStringLiteral("name"));
    std::variant<BodyRequest, std::string> request = asBody(socketRequest(object));
    if (auto* taken = std::get_if<BodyRequest>(&request)) {
        taken->command.program.clear();
        taken->programName = file;
    }
    return request;
}

} // namespace

std::variant<BodyRequest, std::string> readBody(Action action, int relay, std::string_view body) {
    const auto request = [](const char* name) {
        return QJsonObject{{QStringLiteral("request"), QLatin1String(name)}};
    };
    switch (action) {
    case Action::Stop:
        return asBody(socketRequest(request("stop")));
    case Action::Pause:
        return asBody(socketRequest(request("pause")));
    case Action::Resume:
        return asBody(socketRequest(request("resume")));
    default:
        break;
    }
    // A pulse of the relay's own length needs no body.
    std::optional<QJsonObject> object =
        action == Action::PulseRelay && body.find_first_not_of(" \t\r\n") == std::string_view::npos
            ? QJsonObject{}
            : objectOf(body);
    if (!object)
        return std::string("the body is not a JSON object");
    object->remove(QStringLiteral("request"));
    object->remove(QStringLiteral("id"));
    switch (action) {
    case Action::SetRelays:
        object->insert(QStringLiteral("request"), QStringLiteral("set"));
        return asBody(socketRequest(*object));
    case Action::SwitchRelay: {
        const QJsonValue on = object->value(QStringLiteral("on"));
        if (!on.isBool())
            return std::string("a relay takes {\"on\": true} or {\"on\": false}");
        QJsonObject asked = request(on.toBool() ? "on" : "off");
        asked.insert(QStringLiteral("relays"), QJsonArray{relay});
        return asBody(socketRequest(asked));
    }
    case Action::PulseRelay: {
        QJsonObject asked = request("pulse");
        asked.insert(QStringLiteral("relays"), QJsonArray{relay});
        if (object->contains(QStringLiteral("ms")))
            asked.insert(QStringLiteral("ms"), object->value(QStringLiteral("ms")));
        return asBody(socketRequest(asked));
    }
    case Action::Play:
        object->insert(QStringLiteral("request"), QStringLiteral("play"));
        return playOf(*object);
    default:
        break;
    }
    return std::string("no such request");
}

std::variant<Message, std::string> readMessage(std::string_view text) {
    std::optional<QJsonObject> object = objectOf(text);
    if (!object)
        return std::string("malformed JSON");
    const QJsonValue board = object->take(QStringLiteral("board"));
    if (!board.isString() || board.toString().isEmpty())
        return std::string("each request names its board: \"board\": \"ID\"");
    if (const QJsonValue id = object->value(QStringLiteral("id")); !id.isUndefined() && id != board)
        return std::string("\"id\" and \"board\" name different boards");
    std::variant<service::Command, std::string> command = socketRequest(*object);
    if (auto* why = std::get_if<std::string>(&command))
        return std::move(*why);
    return Message{std::get<service::Command>(std::move(command)), board.toString().toStdString()};
}

} // namespace http
