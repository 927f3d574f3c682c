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

namespace {

// A file of the folder that stays inside it: a link out of it (to a file another user may not
// have meant to share) is not one of its programs.
std::optional<QFileInfo> programIn(const QString& folder, const QString& name) {
    const QFileInfo file(QDir(folder), name);
    const QString inside = QFileInfo(folder).canonicalFilePath() + QLatin1Char('/');
    if (!file.isFile() || !file.canonicalFilePath().startsWith(inside))
        return std::nullopt;
    return file;
}

} // namespace

std::optional<std::string> ProgramFolder::read(std::string_view name) const {
    if (!isSet() || !isProgramName(name))
        return std::nullopt;
    const std::optional<QFileInfo> file =
        programIn(QString::fromLocal8Bit(folder_.c_str()),
                  QString::fromLocal8Bit(name.data(), static_cast<qsizetype>(name.size())));
    if (!file)
        return std::nullopt;
    QFile program(file->filePath());
    if (program.size() > static_cast<qint64>(programfile::kMaxFileBytes) ||
        !program.open(QIODevice::ReadOnly))
        return std::nullopt;
    return program.readAll().toStdString();
}

std::vector<std::string> ProgramFolder::names() const {
    std::vector<std::string> names;
    if (!isSet())
        return names;
    const QString folder = QString::fromLocal8Bit(folder_.c_str());
    for (const QString& name : QDir(folder).entryList(QDir::Files, QDir::Name))
        if (isProgramName(name.toLocal8Bit().toStdString()) && programIn(folder, name))
            names.push_back(name.toLocal8Bit().toStdString());
    return names;
}

} // namespace service
