#pragma once

#include <QString>

#include <string>
#include <string_view>

// Labels, captions and rows are bytes, one per character, shown as Latin-1 text.
namespace latin1 {

inline QString text(std::string_view bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// Characters beyond Latin-1 become "?", as Qt converts them.
inline std::string bytes(const QString& text) {
    return text.toLatin1().toStdString();
}

} // namespace latin1
