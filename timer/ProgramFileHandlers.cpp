// "Open File" and "Save File": the program list to and from a text file, one step per line.
#include "app/Controls.h"
#include "app/TForm1.h"
#include "timer/ProgramFile.h"
#include "ui_TForm1.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace {

// The previous file of that name stays whole until the new one is complete.
QString writeWholeFile(const QString& path, const std::string& bytes) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    if (file.write(bytes.data(), static_cast<qint64>(bytes.size())) !=
        static_cast<qint64>(bytes.size())) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return reason;
    }
    if (!file.commit())
        return file.errorString();
    return {};
}

} // namespace

void TForm1::Button20Click() {
    const QString chosen = platform_.askSaveFileName(this, QStringLiteral("New"));
    if (chosen.isEmpty())
        return;
    const QString path = QString::fromStdString(programfile::programFileName(chosen.toStdString()));
    const StringGrid& grid = *ui->StringGrid4;
    std::vector<std::string> rows;
    rows.reserve(static_cast<std::size_t>(grid.rowCount()));
    for (int row = 0; row < grid.rowCount(); ++row)
        rows.push_back(grid.cell(row).toLatin1().toStdString());
    const QString failure = writeWholeFile(path, programfile::encodeProgram(rows));
    if (!failure.isEmpty())
        platform_.showError(this, QStringLiteral("Could not save the program to \"%1\": %2")
                                      .arg(QDir::toNativeSeparators(path), failure));
}

// The list is replaced only once the whole file has been read; row 0 becomes current and nothing
// is applied until a row is selected.
void TForm1::Button19Click() {
    const QString path = platform_.askOpenFileName(this);
    if (path.isEmpty())
        return;
    QFile file(path);
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    if (!file.isOpen() || file.error() != QFileDevice::NoError) {
        platform_.showError(this, QStringLiteral("Could not open the program file \"%1\": %2")
                                      .arg(QDir::toNativeSeparators(path), file.errorString()));
        return;
    }
    const std::vector<std::string> lines = programfile::decodeProgram(
        std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    std::vector<QString> rows;
    rows.reserve(lines.size());
    for (const std::string& line : lines)
        rows.push_back(QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())));
    ui->StringGrid4->replaceRows(std::move(rows));
}
