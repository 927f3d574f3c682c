#include "support/Files.h"

#include <QDir>
#include <QFile>

WorkingFolder::WorkingFolder()
    : previous_(QDir::currentPath()) {
    QDir::setCurrent(dir_.path());
    // A window that opens a board serves it on a socket here, apart from every other test's.
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir_.path()));
}

WorkingFolder::~WorkingFolder() {
    QDir::setCurrent(previous_);
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
