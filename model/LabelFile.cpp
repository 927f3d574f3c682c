#include "model/LabelFile.h"

#include "model/SafeFile.h"

#include <QFile>

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace labels {

namespace {

// Whether the file may be replaced by a save. A file the user made read-only (by its permission
// bits, so also for root), one this process cannot read, one that is not a regular file, and a
// link planted by another user in a shared folder are all left alone.
bool mayReplaceLabelsFile(const safefile::Destination& destination) {
    if (destination.refusal)
        return false;
    if (!destination.exists)
        return true;
    struct stat info {};
    if (::stat(destination.target.c_str(), &info) != 0)
        return false;
    const bool writeBits = info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH);
    return writeBits &&
           ::faccessat(AT_FDCWD, destination.target.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
}

std::string localPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

} // namespace

LabelTable readLabelsFile(const QString& path) {
    const std::string local = localPath(path);
    if (safefile::inspectDestination(local).untrustedLink)
        std::fprintf(stderr,
                     "tambrook: %s is a symbolic link owned by another user in a shared folder; "
                     "label changes will not be saved\n",
                     local.c_str());
    safefile::InputFile file = safefile::InputFile::open(local, UINT64_MAX);
    if (!file.isOpen())
        return defaultLabels();
    const std::string bytes = file.readPrefix(kImageSize);
    if (!file.failure().reason.empty())
        return defaultLabels();
    return decodeLabelImage(bytes);
}

bool writeLabelsFile(const QString& path, const LabelTable& table) {
    const safefile::Destination destination = safefile::inspectDestination(localPath(path));
    if (!mayReplaceLabelsFile(destination))
        return false;
    const LabelImage image = encodeLabelImage(table);
    return !safefile::replaceFile(destination, std::string_view(image.data(), image.size()));
}

std::string labelBytes(const QString& text, std::size_t maxLength) {
    std::string bytes;
    for (const char32_t code : text.toUcs4()) {
        if (bytes.size() == maxLength)
            break;
        bytes += (code == 0 || code > 0xFF) ? '?' : static_cast<char>(code);
    }
    return bytes;
}

} // namespace labels
