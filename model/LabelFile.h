#pragma once

#include "model/LabelTable.h"

#include <QString>

// labels.dat on disk, and the conversion between label bytes and the texts the controls show.
namespace labels {

inline const QString kLabelsFileName = QStringLiteral("labels.dat");

// The labels in the file, read without asking for write access, so a read-only file still
// supplies them; the defaults when the file cannot be read at all or is not a regular file (a
// FIFO is never waited on). A link planted by another user in a shared folder is reported once on
// stderr, as its labels will not be saved.
LabelTable readLabelsFile(const QString& path);

// Replaces the file with the table's image in one step: the old file stays whole until the new
// one is complete and on the disk. A read-only or unreadable file, anything but a regular file,
// and a planted link are left alone. Returns whether the file now holds the table.
bool writeLabelsFile(const QString& path, const LabelTable& table);

// A text as label bytes, cut to maxLength characters. A character one byte cannot hold (and the
// zero character, which would end the label) becomes '?', so a label is never cut inside a
// character.
std::string labelBytes(const QString& text, std::size_t maxLength);

} // namespace labels
