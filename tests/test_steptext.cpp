// Step texts and program files as pure functions: the lenient readings, the range errors, and the
// program file's line rules.
#include "model/ProgramFile.h"
#include "model/ProgramRows.h"
#include "model/RangeError.h"
#include "model/StepText.h"

#include <QtTest>

using namespace std::string_literals;
using Rows = std::vector<std::string>;

class StepTextTest : public QObject {
    Q_OBJECT
private slots:
    void lineFormOffersCrLfThenRangeError();
    void readingsDifferOnlyForForeignCharacters_data();
    void readingsDifferOnlyForForeignCharacters();
    void composeCopiesDigitsFromTheEditText_data();
    void composeCopiesDigitsFromTheEditText();
    void delayIsLocatedByLengthAlone();
    void programFileWritesCrLfAfterEveryLine();
    void programFileReadsLinesAsRows_data();
    void programFileReadsLinesAsRows();
    void packedRowsActAsAList();
    void savedNameGetsOneTxt();
};

void StepTextTest::lineFormOffersCrLfThenRangeError() {
    QCOMPARE(steps::lineChar("0101010", 7), '0');
    QCOMPARE(steps::lineChar("0101010", 8), '\r');
    QCOMPARE(steps::lineChar("0101010", 9), '\n');
    QVERIFY_THROWS_EXCEPTION(RangeError, steps::lineChar("0101010", 10));
    QVERIFY_THROWS_EXCEPTION(RangeError, steps::relayByteOfRow("01010"));
    QCOMPARE(steps::relayByteOfRow("010101"), 0xEA); // CR and LF count as on
    QCOMPARE(steps::patternOfByte(0x01), "10000000"s);
    QCOMPARE(steps::patternOfByte(0x82), "01000001"s);
}

void StepTextTest::readingsDifferOnlyForForeignCharacters_data() {
    QTest::addColumn<QString>("row");
    QTest::addColumn<int>("byte");
    QTest::addColumn<QString>("buttonsOn"); // which state characters put a step button on
    QTest::newRow("written by the editor") << "01000001-12" << 0x82 << "01000001";
    QTest::newRow("a 2 from a file") << "20000000-1" << 0x01 << "00000000";
    QTest::newRow("seven characters") << "0101010" << 0xAA << "01010100";
}

void StepTextTest::readingsDifferOnlyForForeignCharacters() {
    QFETCH(QString, row);
    QFETCH(int, byte);
    QFETCH(QString, buttonsOn);
    const std::string text = row.toStdString();
    QCOMPARE(int(steps::relayByteOfRow(text)), byte);
    QString buttons;
    for (std::size_t n = 1; n <= 8; ++n)
        buttons += steps::stepButtonOn(steps::lineChar(text, n)) ? '1' : '0';
    QCOMPARE(buttons, buttonsOn);
}

void StepTextTest::composeCopiesDigitsFromTheEditText_data() {
    QTest::addColumn<QString>("row");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QString>("composed"); // empty: range error
    QTest::newRow("foreign state characters") << "20000000-1" << 1 << "1"
                                              << "10000000-1";
    QTest::newRow("leading zeros, one digit") << "00000000-007" << 7 << "007"
                                              << "00000000-0";
    QTest::newRow("typed 05") << "10000000-5" << 5 << "05"
                              << "10000000-0";
    QTest::newRow("line form fills 7 chars") << "0101010" << 3 << "3"
                                             << "01010101-3";
    QTest::newRow("zero ignores the text") << "01000001-12" << 0 << ""
                                           << "01000001-0";
    QTest::newRow("four digits") << "10000000" << 1234 << "1234"
                                 << "10000000-1234";
    QTest::newRow("edit emptied") << "10000000-5" << 5 << ""
                                  << "";
    QTest::newRow("edit too short") << "10000000-5" << 12 << "9"
                                    << "";
    QTest::newRow("row too short") << "01010" << 0 << "0"
                                   << "";
}

void StepTextTest::composeCopiesDigitsFromTheEditText() {
    QFETCH(QString, row);
    QFETCH(int, value);
    QFETCH(QString, edit);
    QFETCH(QString, composed);
    if (composed.isEmpty()) {
        QVERIFY_THROWS_EXCEPTION(RangeError,
                                 steps::composeStep(row.toStdString(), value, edit.toStdString()));
        return;
    }
    QCOMPARE(
        QString::fromStdString(steps::composeStep(row.toStdString(), value, edit.toStdString())),
        composed);
}

void StepTextTest::delayIsLocatedByLengthAlone() {
    QCOMPARE(*steps::rowDelayText("00000000-0"), "0"s);
    QCOMPARE(*steps::rowDelayText("00000000-007"), "007"s);
    QCOMPARE(*steps::rowDelayText("11111111x9999"), "9999"s); // character 9 is never looked at
    QVERIFY(!steps::rowDelayText("10000000"));
    QVERIFY(!steps::rowDelayText("00000000-12345"));
    QVERIFY(!steps::rowDelayText(""));
}

void StepTextTest::programFileWritesCrLfAfterEveryLine() {
    QCOMPARE(programfile::encodeProgram({"00000000-0"}), "00000000-0\r\n"s);
    QCOMPARE(programfile::encodeProgram({"a", "", "bad row"}), "a\r\n\r\nbad row\r\n"s);
    const Rows rows{"10000000-5", "00000000-0", "11111111-9999"};
    QCOMPARE(programfile::decodeProgram(programfile::encodeProgram(rows)), rows);
}

void StepTextTest::programFileReadsLinesAsRows_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("rows");
    const QString l24(24, 'x');
    QTest::newRow("empty file") << QByteArray() << QStringList{""};
    QTest::newRow("LF alone") << QByteArray("a\nb\n") << QStringList{"a", "b"};
    QTest::newRow("CR alone") << QByteArray("a\rb\r") << QStringList{"a", "b"};
    // With line feeds in the file, a lone CR ends only the row's text, not the line.
    QTest::newRow("mixed") << QByteArray("a\r\nb\nc\rd\ne") << QStringList{"a", "b", "c", "e"};
    QTest::newRow("CR CR LF, converted twice") << QByteArray("10000000-1\r\r\n01000000-2\r\r\n")
                                               << QStringList{"10000000-1", "01000000-2"};
    QTest::newRow("a lone CR takes a place in the read")
        << (QString(23, 'x') + "\rab\n").toLatin1() << QStringList{QString(23, 'x'), "ab"};
    QTest::newRow("CR LF after 23 characters is one line end")
        << (QString(23, 'x') + "\r\nab\n").toLatin1() << QStringList{QString(23, 'x'), "ab"};
    QTest::newRow("last line without end kept") << QByteArray("a\r\nb") << QStringList{"a", "b"};
    QTest::newRow("single line without end") << QByteArray("a") << QStringList{"a"};
    QTest::newRow("empty line inside") << QByteArray("a\n\nb\n") << QStringList{"a", "", "b"};
    QTest::newRow("exactly 24 characters") << (l24 + "\r\n").toLatin1() << QStringList{l24, ""};
    QTest::newRow("25 characters split")
        << (l24 + "y\r\nz\r\n").toLatin1() << QStringList{l24, "y", "z"};
    QTest::newRow("13 characters")
        << QByteArray("11111111-9999\r\n") << QStringList{"11111111-9999"};
    QStringList longLine;
    for (int row = 0; row < 416; ++row)
        longLine << l24;
    longLine << QString(16, 'x');
    QTest::newRow("10,000 characters") << (QString(10000, 'x') + "\n").toLatin1() << longLine;
    QTest::newRow("NUL ends a row's text")
        << QByteArray("ab\0cd\nef\n", 9) << QStringList{"ab", "ef"};
}

void StepTextTest::programFileReadsLinesAsRows() {
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, rows);
    Rows expected;
    for (const QString& row : rows)
        expected.push_back(row.toStdString());
    const std::string_view whole(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    QCOMPARE(programfile::decodeProgram(whole), expected);
    // Fed a byte at a time, as a file arrives in chunks, the reader gives the same rows.
    Rows streamed;
    programfile::ProgramReader reader(!programfile::holdsLineFeed(whole),
                                      [&](std::string_view row) { streamed.emplace_back(row); });
    for (const char c : whole)
        reader.feed(std::string_view(&c, 1));
    reader.finish();
    QCOMPARE(streamed, expected);
}

// Rows packed in blocks behave as a plain list of strings: rewritten in place with other lengths,
// grown and shrunk across block edges.
void StepTextTest::packedRowsActAsAList() {
    ProgramRows rows;
    Rows plain;
    for (int i = 0; i < 700; ++i) {
        const std::string row =
            std::string(static_cast<std::size_t>(i % 25), 'x') + std::to_string(i);
        rows.append(row);
        plain.push_back(row);
    }
    for (const std::size_t i : {0u, 255u, 256u, 257u, 511u, 699u}) {
        const std::string row = i % 2 ? "" : "11111111-9999";
        rows.set(i, row);
        plain[i] = row;
    }
    rows.resize(300);
    plain.resize(300);
    rows.resize(520);
    plain.resize(520);
    rows.resize(256);
    plain.resize(256);
    rows.append("last");
    plain.push_back("last");
    QCOMPARE(rows.size(), plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i)
        QCOMPARE(std::string(rows.at(i)), plain[i]);
    rows.set(3, std::string(300, 'y'));
    QCOMPARE(rows.at(3).size(), ProgramRows::kMaxRowLength);
    QCOMPARE(std::string(rows.at(4)), plain[4]);
}

void StepTextTest::savedNameGetsOneTxt() {
    QCOMPARE(programfile::programFileName("prog"), "prog.txt"s);
    QCOMPARE(programfile::programFileName("prog.txt"), "prog.txt"s);
    QCOMPARE(programfile::programFileName("PROG.TXT"), "PROG.TXT"s);
    QCOMPARE(programfile::programFileName("prog.txt.bak"), "prog.txt.bak.txt"s);
}

QTEST_MAIN(StepTextTest)
#include "test_steptext.moc"
