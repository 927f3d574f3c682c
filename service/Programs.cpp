#include "service/Programs.h"

#include "model/ProgramFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace service {

bool isProgramName(std::string_view name) {
    return !name.empty() &&
           name.find_first_of(std::string_view("\r\n/\0", 4)) == std::string_view::npos &&
           name != "." && name != "..";
}

ProgramFolder::ProgramFolder(std::string folder)
    : folder_(std::move(folder)) {}

std::optional<std::string> ProgramFolder::read(std::string_view name) const {
    if (!isSet() || !isProgramName(name))
        return std::nullopt;
    const QFileInfo file(QDir(QString::fromLocal8Bit(folder_.c_str())),
                         QString::fromLocal8Bit(name.data(), static_cast<qsizetype>(name.size())));
    if (!file.isFile())
        return std::nullopt;
    QFile program(file.filePath());
    if (program.size() > static_cast<qint64>(programfile::kMaxFileBytes) ||
        !program.open(QIODevice::ReadOnly))
        return std::nullopt;
    return program.readAll().toStdString();
}

} // namespace service
