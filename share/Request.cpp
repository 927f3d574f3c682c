#include "share/Request.h"

#include "devices/RelayMap.h"
#include "model/ProgramFile.h"
#include "model/StepText.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <utility>

namespace share {

namespace {

constexpr int kMaxResolution = 100;

const std::array<std::pair<const char*, Request::Kind>, 11> kNames{{
    {"state", Request::Kind::State},
    {"watch", Request::Kind::Watch},
    {"set", Request::Kind::Set},
    {"on", Request::Kind::On},
    {"off", Request::Kind::Off},
    {"toggle", Request::Kind::Toggle},
    {"pulse", Request::Kind::Pulse},
    {"play", Request::Kind::Play},
    {"stop", Request::Kind::Stop},
    {"pause", Request::Kind::Pause},
    {"resume", Request::Kind::Resume},
}};

std::string patternOf(const QJsonObject& object, Request& request) {
    const std::string pattern = object.value(QStringLiteral("relays")).toString().toStdString();
    if (pattern.size() != devices::kRelayCount ||
        pattern.find_first_not_of("01") != std::string::npos)
        return "set takes \"relays\": eight 0/1, relay 1 first";
    request.pattern = steps::relayByteOfRow(pattern);
    return {};
}

std::string relaysOf(const QJsonObject& object, const char* name, Request& request) {
    const QJsonValue value = object.value(QStringLiteral("relays"));
    const QJsonArray relays = value.toArray();
    for (const QJsonValue& relay : relays) {
        const double number = relay.toDouble(0);
        if (!relay.isDouble() || number < 1 || number > devices::kRelayCount ||
            number != static_cast<int>(number))
            break;
        request.relays.push_back(static_cast<int>(number));
    }
    if (!value.isArray() || relays.isEmpty() ||
        request.relays.size() != static_cast<std::size_t>(relays.size()))
        return std::string(name) + " takes \"relays\": a list of relays 1 to 8";
    return {};
}

// "ms" is optional: without it each relay pulses for its own default length.
std::string pulseOf(const QJsonObject& object, Request& request) {
    if (std::string why = relaysOf(object, "pulse", request); !why.empty())
        return why;
    const QJsonValue ms = object.value(QStringLiteral("ms"));
    if (ms.isUndefined())
        return {};
    // Bounded before it is made a whole number, which a double beyond it could not become.
    const double number = ms.toDouble(-1);
    const auto least = static_cast<double>(service::kMinPulse.count());
    const auto most = static_cast<double>(service::kMaxPulse.count());
    if (!ms.isDouble() || !(number >= least && number <= most) ||
        number != static_cast<double>(static_cast<std::int64_t>(number)))
        return "pulse takes \"ms\": a whole number of milliseconds, 10 to 86400000";
    request.pulse = std::chrono::milliseconds(static_cast<std::int64_t>(number));
    return {};
}

std::string programOf(const QJsonObject& object, Request& request) {
    const QJsonValue text = object.value(QStringLiteral("program"));
    const QJsonValue resolution = object.value(QStringLiteral("resolution"));
    const QJsonValue repeat = object.value(QStringLiteral("repeat"));
    if (!resolution.isUndefined())
        request.resolution = resolution.toInt(0);
    if (!repeat.isUndefined())
        request.repeat = repeat.toBool();
    if (!text.isString() || request.resolution.value_or(1) < 1 ||
        request.resolution.value_or(1) > kMaxResolution ||
        !(repeat.isBool() || repeat.isUndefined()))
        return "play takes \"program\" (its text), \"resolution\" (1 to 100 ms) and \"repeat\" "
               "(true or false)";
    request.program = text.toString().toLatin1().toStdString();
    if (request.program.size() > programfile::kMaxFileBytes)
        return std::string("a program over 16 MiB");
    // A program's name, or the text of another file, is not taken for steps.
    if (!programfile::holdsOnlySteps(request.program))
        return "play takes the text of a program in \"program\": lines of eight 0/1, \"-\" and "
               "a delay";
    return {};
}

} // namespace

std::variant<Request, std::string> parseRequest(std::string_view line) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray(line.data(), static_cast<qsizetype>(line.size())), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::string("malformed JSON");
    const QJsonObject object = document.object();
    const QString name = object.value(QStringLiteral("request")).toString();
    Request request;
    const auto known = std::find_if(kNames.begin(), kNames.end(), [&](const auto& entry) {
        return name == QLatin1String(entry.first);
    });
    if (known == kNames.end())
        return std::string("unknown request");
    request.kind = known->second;
    const QJsonValue id = object.value(QStringLiteral("id"));
    if (!id.isUndefined() && !id.isString())
        return std::string("\"id\" names a board: a string");
    request.boardId = id.toString().toStdString();
    std::string why;
    if (request.kind == Request::Kind::Set)
        why = patternOf(object, request);
    else if (request.kind == Request::Kind::On || request.kind == Request::Kind::Off ||
             request.kind == Request::Kind::Toggle)
        why = relaysOf(object, known->first, request);
    else if (request.kind == Request::Kind::Pulse)
        why = pulseOf(object, request);
    else if (request.kind == Request::Kind::Play)
        why = programOf(object, request);
    if (!why.empty())
        return why;
    return request;
}

QJsonObject requestObject(const Request& request) {
    const auto named = std::find_if(kNames.begin(), kNames.end(), [&](const auto& entry) {
        return entry.second == request.kind;
    });
    QJsonObject object{{QStringLiteral("request"), QLatin1String(named->first)}};
    if (request.kind == Request::Kind::Set)
        object.insert(QStringLiteral("relays"),
                      QString::fromStdString(steps::patternOfByte(request.pattern)));
    if (request.kind == Request::Kind::On || request.kind == Request::Kind::Off ||
        request.kind == Request::Kind::Toggle || request.kind == Request::Kind::Pulse) {
        QJsonArray relays;
        for (const int relay : request.relays)
            relays.append(relay);
        object.insert(QStringLiteral("relays"), relays);
    }
    if (request.kind == Request::Kind::Pulse && request.pulse)
        object.insert(QStringLiteral("ms"), static_cast<qint64>(request.pulse->count()));
    if (!request.boardId.empty())
        object.insert(QStringLiteral("id"), QString::fromStdString(request.boardId));
    if (request.kind == Request::Kind::Play) {
        object.insert(QStringLiteral("program"),
                      QString::fromLatin1(request.program.c_str(),
                                          static_cast<qsizetype>(request.program.size())));
        if (request.resolution)
            object.insert(QStringLiteral("resolution"), *request.resolution);
        if (request.repeat)
            object.insert(QStringLiteral("repeat"), *request.repeat);
    }
    return object;
}

bool startsPlayRequest(std::string_view line) {
    std::size_t at = 0;
    // Each piece in turn, with any white space before it.
    const auto next = [&](std::string_view piece) {
        at = line.find_first_not_of(" \t\r", at);
        if (at == std::string_view::npos || line.substr(at, piece.size()) != piece)
            return false;
        at += piece.size();
        return true;
    };
    return next("{") && next("\"request\"") && next(":") && next("\"play\"") && next(",");
}

} // namespace share
