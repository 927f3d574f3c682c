// "Open File" and "Save File": the program list to and from a text file, one step per line.
#include "app/Controls.h"
#include "app/SafeFile.h"
#include "app/TForm1.h"
#include "timer/ProgramFile.h"
#include "ui_TForm1.h"

#include <QDir>
#include <QFile>

namespace {

// The rows of a program file, read in two passes over the file so that it is never held whole:
// one finds whether it has line feeds (which decides its line ends), one keeps the rows.
std::optional<safefile::Failure> readProgramRows(safefile::InputFile& file, ProgramRows& rows) {
    bool lineFeeds = false;
    if (!file.readAll([&](std::string_view chunk) {
            lineFeeds = lineFeeds || programfile::holdsLineFeed(chunk);
        }))
        return file.failure();
    programfile::ProgramReader reader(!lineFeeds,
                                      [&rows](std::string_view row) { rows.append(row); });
    if (!file.readAll([&](std::string_view chunk) { reader.feed(chunk); }))
        return file.failure();
    reader.finish();
    return std::nullopt;
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
        rows.emplace_back(grid.text(row));
    if (const auto failure = safefile::replaceFile(QFile::encodeName(path).toStdString(),
                                                   programfile::encodeProgram(rows)))
        platform_.showError(this, QStringLiteral("Could not save the program to \"%1\": %2")
                                      .arg(QDir::toNativeSeparators(path),
                                           QString::fromLocal8Bit(failure->reason)));
}

// The list is replaced only once the whole file has been read; row 0 becomes current and nothing
// is applied until a row is selected.
void TForm1::Button19Click() {
    const QString path = platform_.askOpenFileName(this);
    if (path.isEmpty())
        return;
    safefile::InputFile file = safefile::InputFile::open(QFile::encodeName(path).toStdString(),
                                                         programfile::kMaxFileBytes);
    ProgramRows rows;
    std::optional<safefile::Failure> failure;
    if (!file.isOpen())
        failure = file.failure();
    else
        failure = readProgramRows(file, rows);
    if (failure) {
        platform_.showError(this, QStringLiteral("Could not open the program file \"%1\": %2")
                                      .arg(QDir::toNativeSeparators(path),
                                           QString::fromLocal8Bit(failure->reason)));
        return;
    }
    ui->StringGrid4->replaceRows(std::move(rows));
}
