// Any bytes as a client's request line: the parser answers with a request or an error, never
// more; a request it accepts stays in range and reads back the same from its own JSON.
#include "share/Request.h"

#include <QJsonDocument>

#include <cstdint>
#include <cstdlib>
#include <variant>

namespace {

bool inRange(const share::Request& request) {
    for (const int relay : request.relays)
        if (relay < 1 || relay > 8)
            return false;
    const bool switches =
        request.kind == share::Request::Kind::On || request.kind == share::Request::Kind::Off;
    return switches != request.relays.empty() && request.resolution.value_or(1) >= 1 &&
           request.resolution.value_or(1) <= 100;
}

bool same(const share::Request& a, const share::Request& b) {
    return a.kind == b.kind && a.pattern == b.pattern && a.relays == b.relays &&
           a.program == b.program && a.resolution == b.resolution && a.repeat == b.repeat &&
           a.boardId == b.boardId;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parsed =
        share::parseRequest(std::string_view(reinterpret_cast<const char*>(data), size));
    const auto* request = std::get_if<share::Request>(&parsed);
    if (!request)
        return 0;
    if (!inRange(*request))
        std::abort();
    const QByteArray again =
        QJsonDocument(share::requestObject(*request)).toJson(QJsonDocument::Compact);
    const auto reparsed = share::parseRequest(std::string_view(again.constData(), again.size()));
    const auto* back = std::get_if<share::Request>(&reparsed);
    if (!back || !same(*request, *back))
        std::abort();
    return 0;
}
