#include "labels/LabelStore.h"

#include "app/Controls.h"
#include "app/TForm1.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace labels {

LabelTable readLabelsFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return defaultLabels();
    const QByteArray bytes = file.read(static_cast<qint64>(kImageSize));
    return decodeLabelImage(
        std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

bool writeLabelsFile(const QString& path, const LabelTable& table) {
    const QFileInfo info(path);
    // Judged by the file's permission bits, so a read-only file stays untouched even for root.
    constexpr auto anyWrite = QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther;
    if (info.exists() && (!info.isFile() || !info.isWritable() || !(info.permissions() & anyWrite)))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const LabelImage image = encodeLabelImage(table);
    if (file.write(image.data(), static_cast<qint64>(image.size())) !=
        static_cast<qint64>(image.size())) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

QString labelText(const std::string& label) {
    return QString::fromLatin1(label.data(), static_cast<qsizetype>(label.size()));
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

QString TForm1::onLabel(int relay) const {
    return labels::labelText(
        state_.labelTable.at(static_cast<std::size_t>(board::relayEntry(relay).onSlot)));
}

QString TForm1::offLabel(int relay) const {
    return labels::labelText(
        state_.labelTable.at(static_cast<std::size_t>(board::relayEntry(relay).offSlot)));
}

// Fills the label table and gives every relay button and step button its first caption: the ON
// label when the relay's lamp is red, otherwise (as at start-up, before any lamp is coloured) the
// OFF label.
void TForm1::loadLabels() {
    state_.labelTable = labels::readLabelsFile(labels::kLabelsFileName);
    for (const board::RelayMapEntry& entry : board::kRelayMap) {
        const bool lampRed = lamp(entry.relay).color() == clRed;
        relayButton(entry.relay).setCaption(lampRed ? onLabel(entry.relay) : offLabel(entry.relay));
    }
    for (const board::RelayMapEntry& entry : board::kRelayMap)
        copyRelayCaptionToStepButton(entry.relay);
}

// A save that fails is silent: the labels stay in the table and the next save tries again.
void TForm1::saveLabels() {
    labels::writeLabelsFile(labels::kLabelsFileName, state_.labelTable);
}
