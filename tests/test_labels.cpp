// The label table, its file labels.dat, and the "Setting" dialog that edits it.
#include "support/WindowRig.h"

#include "model/LabelFile.h"
#include "model/LabelTable.h"
#include "model/Latin1.h"
#include "ui_TForm2.h"

#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QLineEdit>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <thread>
#include <unistd.h>

using namespace std::string_literals;

namespace {

QByteArray field(const QByteArray& text) {
    return text + QByteArray(20 - text.size(), '\0');
}

} // namespace

class LabelsTest : public QObject {
    Q_OBJECT
private slots:
    void imageRoundTripsAndPlacesEachSlot();
    void damagedImagesKeepWhatArrivedWhole();
    void textsBecomeBytesWithoutCorruptingASlot();
    void missingFileGivesDefaultsAndFirstPressCreatesIt();
    void readOnlyFileStillSuppliesItsLabels();
    void saveReplacesTheFileWholeAndFailsSilently();
    void rightPressOnEitherButtonEditsTheSameRelay();
    void anyPressRetargetsAndSavesBeforeTheClick();
    void okCutsToEighteenAndAcceptsEmptyLabels();
    void keysOfTheDialog();
    void editsTakeWhatTheFileHolds();
    void keyboardOpensTheDialogToo();
    void okPausesUnderTheLockSoTicksWait();
    void typingOverASelectionStopsAtFifteenToo();
};

void LabelsTest::imageRoundTripsAndPlacesEachSlot() {
    labels::LabelTable table = labels::defaultLabels();
    QCOMPARE(table[0], "Relay 1 ON"s);
    QCOMPARE(table[15], "Relay 8 OFF"s);
    table[3] = "\xE9t\xE9 19 characters.."; // bytes above 127 are kept as they are
    table[9] = "";
    const labels::LabelImage image = labels::encodeLabelImage(table);
    QCOMPARE(std::string(image.data() + 60, 19), table[3]);
    QCOMPARE(image[79], '\0');
    QCOMPARE(std::string(image.data() + 160), "Relay 1 OFF"s);
    QCOMPARE(image[180], '\0');
    const labels::LabelTable back =
        labels::decodeLabelImage(std::string_view(image.data(), image.size()));
    QCOMPARE(back, table);
}

void LabelsTest::damagedImagesKeepWhatArrivedWhole() {
    // A field without a zero byte is cut to 19 characters.
    QByteArray bytes = QByteArray(20, 'x') + field("Second");
    labels::LabelTable table = labels::decodeLabelImage(bytes.toStdString());
    QCOMPARE(table[0], std::string(19, 'x'));
    QCOMPARE(table[1], "Second"s);
    QCOMPARE(table[2], "Relay 3 ON"s); // missing fields keep their defaults
    QCOMPARE(table[15], "Relay 8 OFF"s);
    // A field that arrived only in part is missing too.
    table = labels::decodeLabelImage(std::string("Pump\0", 5));
    QCOMPARE(table[0], "Relay 1 ON"s);
    QCOMPARE(labels::decodeLabelImage({}), labels::defaultLabels());
}

void LabelsTest::textsBecomeBytesWithoutCorruptingASlot() {
    QCOMPARE(labels::labelBytes(QStringLiteral("Pumpe \u00fc"), 18), "Pumpe \xFC"s);
    QCOMPARE(labels::labelBytes(QStringLiteral("a\u20acb"), 18), "a?b"s);
    QCOMPARE(labels::labelBytes(QString::fromUtf8("\xF0\x9F\x98\x80x"), 18), "?x"s);
    QCOMPARE(labels::labelBytes(QString(QChar(0)) + "z", 18), "?z"s);
    QCOMPARE(labels::labelBytes(QString(19, QLatin1Char('k')), 18), std::string(18, 'k'));
    QCOMPARE(latin1::text("\xFC"s), QStringLiteral("\u00fc"));
}

void LabelsTest::missingFileGivesDefaultsAndFirstPressCreatesIt() {
    Rig rig;
    QVERIFY(!QFile::exists(rig.path("labels.dat")));
    rig.form1->ButtonMouseDown(5, Qt::LeftButton);
    rig.model.flushLabels();
    const QByteArray bytes = readFile(rig.path("labels.dat"));
    QCOMPARE(bytes.size(), 320);
    QCOMPARE(labels::decodeLabelImage(bytes.toStdString()), labels::defaultLabels());
}

void LabelsTest::readOnlyFileStillSuppliesItsLabels() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("labels.dat"));
    labels::LabelTable table = labels::defaultLabels();
    table[8] = "Pump running"; // relay 1's OFF label
    const labels::LabelImage image = labels::encodeLabelImage(table);
    QVERIFY(writeFile(path, QByteArray(image.data(), static_cast<int>(image.size()))));
    QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadUser);
    QCOMPARE(labels::readLabelsFile(path), table);
    table[8] = "Changed";
    QVERIFY(!labels::writeLabelsFile(path, table)); // fails, and changes nothing
    QCOMPARE(labels::readLabelsFile(path)[8], "Pump running"s);
}

void LabelsTest::saveReplacesTheFileWholeAndFailsSilently() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("labels.dat"));
    QVERIFY(writeFile(path, QByteArray("short")));
    labels::LabelTable table = labels::defaultLabels();
    table[0] = "Lamp";
    QVERIFY(labels::writeLabelsFile(path, table));
    QCOMPARE(readFile(path).size(), 320);
    QCOMPARE(labels::readLabelsFile(path), table);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"labels.dat"}); // no leftovers
    // A directory in the way: defaults on reading, a silent failure on writing.
    const QString blocked = dir.filePath(QStringLiteral("blocked"));
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("blocked/labels.dat")));
    const QString inside = blocked + QStringLiteral("/labels.dat");
    QCOMPARE(labels::readLabelsFile(inside), labels::defaultLabels());
    QVERIFY(!labels::writeLabelsFile(inside, table));
    QVERIFY(QFileInfo(inside).isDir());
    // An empty file gives the defaults; a folder that cannot take a file fails silently (root
    // may write into any folder, so a path under /proc stands in for it there).
    const QString empty = dir.filePath(QStringLiteral("empty.dat"));
    QVERIFY(writeFile(empty, QByteArray()));
    QCOMPARE(labels::readLabelsFile(empty), labels::defaultLabels());
    const QString locked = dir.filePath(QStringLiteral("locked"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("locked")));
    QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner);
    const QString unwritable = ::geteuid() == 0 ? QStringLiteral("/proc/labels.dat")
                                                : locked + QStringLiteral("/labels.dat");
    QVERIFY(!labels::writeLabelsFile(unwritable, table));
    QVERIFY(!QFile::exists(unwritable));
}

void LabelsTest::rightPressOnEitherButtonEditsTheSameRelay() {
    Rig rig;
    rig.take();
    auto& dialog = rig.form2->controls();
    for (const char* name : {"Button5", "Button14"}) {
        rig.form2->hide();
        QTest::mousePress(rig.button(name), Qt::RightButton);
        QVERIFY(rig.form2->isVisible());
        QCOMPARE(rig.state().editedRelay, 5);
        QCOMPARE(dialog.Edit1->text(), QStringLiteral("Relay 5 ON"));
        QCOMPARE(dialog.Edit2->text(), QStringLiteral("Relay 5 OFF"));
        dialog.Edit1->setText(QStringLiteral("Fan"));
        dialog.Edit2->setText(QStringLiteral("Fan off"));
        rig.form2->Button1Click();
        QCOMPARE(rig.state().labelTable[4], "Fan"s);
        QCOMPARE(rig.state().labelTable[12], "Fan off"s);
        QVERIFY(!rig.form2->isVisible());
        QCOMPARE(rig.take(), (Log{"pause 50"}));
        rig.act([&] { // the relay's own labels back
            rig.model.storeEditedLabels(
                {QStringLiteral("Relay 5 ON"), QStringLiteral("Relay 5 OFF")});
        });
    }
    // The dialog changed no caption.
    QCOMPARE(rig.button("Button5")->caption(), QStringLiteral("Relay 5 OFF"));
}

void LabelsTest::anyPressRetargetsAndSavesBeforeTheClick() {
    Rig rig(1);
    rig.openBoard(0x00);
    auto& dialog = rig.form2->controls();
    rig.form1->ButtonMouseDown(1, Qt::RightButton);
    QVERIFY(rig.form2->isVisible());
    dialog.Edit2->setText(QStringLiteral("Heater"));
    rig.form2->Button1Click(); // applied, not yet saved
    rig.form2->show();
    dialog.Edit1->setText(QStringLiteral("typed, not applied"));
    rig.take();
    // The press hands the table to the file's writer before the click runs.
    QByteArray duringClick;
    rig.platform.duringPause = [&] {
        rig.model.flushLabels();
        duringClick = readFile(rig.path("labels.dat"));
    };
    QTest::mouseClick(rig.button("Button1"), Qt::LeftButton); // relay 3
    QCOMPARE(rig.state().editedRelay, 3);
    QCOMPARE(dialog.Edit1->text(), QStringLiteral("Relay 3 ON"));
    QVERIFY(rig.form2->isVisible());
    QCOMPARE(rig.take(), (Log{"write 04", "pause 50", "write 04", "read", "read"}));
    QCOMPARE(labels::decodeLabelImage(duringClick.toStdString())[8], "Heater"s);
    // A middle press shows nothing but still retargets and saves.
    rig.form2->hide();
    QFile::remove(rig.path("labels.dat"));
    rig.form1->ButtonMouseDown(8, Qt::MiddleButton);
    QVERIFY(!rig.form2->isVisible());
    QCOMPARE(rig.state().editedRelay, 8);
    rig.model.flushLabels();
    QVERIFY(QFile::exists(rig.path("labels.dat")));
}

void LabelsTest::okCutsToEighteenAndAcceptsEmptyLabels() {
    // A file may hold a label of 19 characters, one more than OK keeps.
    labels::LabelTable table = labels::defaultLabels();
    table[1] = std::string(19, 'n');
    Rig rig(0, [&](RecordingDriver&) { // in the rig's folder, before the window starts
        QVERIFY(labels::writeLabelsFile(QStringLiteral("labels.dat"), table));
    });
    rig.form1->ButtonMouseDown(2, Qt::RightButton);
    QCOMPARE(rig.form2->controls().Edit1->text().size(), 19);
    rig.form2->controls().Edit2->clear();
    rig.form2->Button1Click();
    QCOMPARE(rig.state().labelTable[1], std::string(18, 'n'));
    QCOMPARE(rig.state().labelTable[9], ""s);
}

void LabelsTest::keysOfTheDialog() {
    Rig rig;
    auto& dialog = rig.form2->controls();
    rig.form1->ButtonMouseDown(1, Qt::RightButton);
    QVERIFY(QTest::qWaitForWindowExposed(rig.form2.get()));
    // Typing stops at 15 characters, but a longer text can still be shortened.
    dialog.Edit1->clear();
    QTest::keyClicks(dialog.Edit1, QStringLiteral("0123456789abcdefgh"));
    QCOMPARE(dialog.Edit1->text(), QStringLiteral("0123456789abcde"));
    dialog.Edit2->setText(QString(19, QLatin1Char('z')));
    dialog.Edit2->setFocus();
    dialog.Edit2->end(false);
    QTest::keyClick(dialog.Edit2, Qt::Key_Backspace);
    QCOMPARE(dialog.Edit2->text().size(), 18);
    QTest::keyClick(dialog.Edit2, Qt::Key_A);
    QCOMPARE(dialog.Edit2->text().size(), 18);
    // Escape does nothing; Enter in an edit applies and hides.
    QTest::keyClick(dialog.Edit1, Qt::Key_Escape);
    QVERIFY(rig.form2->isVisible());
    QCOMPARE(rig.state().labelTable[0], "Relay 1 ON"s);
    QTest::keyClick(dialog.Edit1, Qt::Key_Return);
    QVERIFY(!rig.form2->isVisible());
    QCOMPARE(rig.state().labelTable[0], "0123456789abcde"s);
    // The close box hides without storing.
    rig.form1->ButtonMouseDown(1, Qt::RightButton);
    dialog.Edit1->setText(QStringLiteral("discarded"));
    rig.form2->close();
    QVERIFY(!rig.form2->isVisible());
    QCOMPARE(rig.state().labelTable[0], "0123456789abcde"s);
    // Enter on the focused OK button applies too.
    rig.form1->ButtonMouseDown(1, Qt::RightButton);
    dialog.Edit1->setText(QStringLiteral("By OK key"));
    QTest::keyClick(dialog.Button1, Qt::Key_Enter);
    QCOMPARE(rig.state().labelTable[0], "By OK key"s);
}

// The edits take only what labels.dat holds, one byte per character, so what the user sees is
// what is saved; the limit counts characters, and a paste is cut to it rather than refused.
void LabelsTest::editsTakeWhatTheFileHolds() {
    Rig rig;
    auto& dialog = rig.form2->controls();
    rig.form1->ButtonMouseDown(1, Qt::RightButton);
    dialog.Edit1->clear();
    dialog.Edit1->setFocus();
    // Typed one character at a time, as a keyboard with those keys would.
    for (const char32_t c : QString::fromUtf8("Gr\u00fcn \u20ac\U0001F600!").toUcs4())
        QTest::sendKeyEvent(QTest::Click, dialog.Edit1, Qt::Key_unknown, QString::fromUcs4(&c, 1),
                            Qt::NoModifier);
    QCOMPARE(dialog.Edit1->text(), QString::fromUtf8("Gr\u00fcn !"));
    QGuiApplication::clipboard()->setText(
        QString::fromUtf8("\U0001F600abcdefghijklmnopqrstuvwxyz"));
    dialog.Edit1->paste();
    QCOMPARE(dialog.Edit1->text(), QString::fromUtf8("Gr\u00fcn !abcdefghi")); // 15 characters
    dialog.Edit2->clear();
    dialog.Edit2->setText(QStringLiteral("ab"));
    dialog.Edit2->setCursorPosition(1);
    QGuiApplication::clipboard()->setText(QString(20, QLatin1Char('x')));
    dialog.Edit2->paste(); // cut where it was inserted, the text after the cursor kept
    QCOMPARE(dialog.Edit2->text(), QStringLiteral("a") + QString(13, QLatin1Char('x')) + "b");
    rig.form2->Button1Click();
    QCOMPARE(rig.state().labelTable[0], std::string("Gr\xfcn !abcdefghi"));
    rig.form1->ButtonMouseDown(1, Qt::LeftButton);
    rig.model.flushLabels();
    QFile file(rig.path("labels.dat"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.read(16), QByteArray("Gr\xfcn !abcdefghi", 16));
}

void LabelsTest::keyboardOpensTheDialogToo() {
    Rig rig;
    rig.form1->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.form1.get()));
    TButton* relay4 = rig.button("Button4");
    QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(1, 1));
    QCoreApplication::sendEvent(relay4, &menuKey);
    QVERIFY(rig.form2->isVisible());
    QCOMPARE(rig.state().editedRelay, 4);
}

// OK's 50 ms pause holds up ticks, as a relay click's does: a tick due during it runs after it.
void LabelsTest::okPausesUnderTheLockSoTicksWait() {
    Rig rig(1);
    rig.openBoard(0x00);
    rig.setRows({"10000000-9999"});
    rig.form1->Button34Click();
    rig.form1->ButtonMouseDown(1, Qt::RightButton);
    std::atomic<bool> ticked{false};
    bool tickedDuringPause = true;
    std::thread ticker;
    rig.platform.duringPause = [&] {
        ticker = std::thread([&] { ticked = rig.sequencer->tickNow(); });
        QThread::msleep(50);
        tickedDuringPause = ticked;
    };
    rig.form2->Button1Click();
    ticker.join();
    QVERIFY(!tickedDuringPause);
    QVERIFY(ticked);
}

// A 19-character label from the file: typing over a selection never leaves more than 15
// characters; the edit refuses what would, and takes what fits.
void LabelsTest::typingOverASelectionStopsAtFifteenToo() {
    Rig rig;
    rig.form1->ButtonMouseDown(1, Qt::RightButton);
    TLabelEdit& edit = *rig.form2->controls().Edit1;
    edit.setText(QString(19, QLatin1Char('n')));
    edit.setFocus();
    edit.setSelection(0, 2);
    QTest::keyClick(&edit, Qt::Key_X);
    QCOMPARE(edit.text(), QString(19, QLatin1Char('n')));
    edit.setSelection(0, 5);
    QTest::keyClick(&edit, Qt::Key_X);
    QCOMPARE(edit.text(), QStringLiteral("x") + QString(14, QLatin1Char('n')));
}

QTEST_MAIN(LabelsTest)
#include "test_labels.moc"
