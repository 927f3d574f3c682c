#pragma once

// Files and folders as a test sets them up.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// Replaces a file's content whole; false when it could not be written.
bool writeFile(const QString& path, const QByteArray& bytes);
// A file's content, or nothing when it cannot be read.
QByteArray readFile(const QString& path);

// A fresh folder that is the working directory while it lives, so labels.dat starts absent.
class WorkingFolder {
public:
    WorkingFolder();
    ~WorkingFolder();
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;
    QString path(const QString& name) const { return dir_.filePath(name); }

private:
    QTemporaryDir dir_;
    QString previous_;
};
