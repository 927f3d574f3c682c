// "Timer Mode": the step editor, the sequencer driven tick by tick, and the program file buttons.
#include "support/WindowRig.h"

#include "model/StepText.h"
#include "ui_TForm1.h"

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QtTest>

namespace {

void setRows(Rig& rig, const QStringList& rows, int current = 0) {
    std::vector<std::string> texts;
    for (const QString& row : rows)
        texts.push_back(row.toStdString());
    rig.setRows(texts); // row 0 current, nothing applied
    if (current == 0)
        rig.form1->StringGrid4Click(0);
    else
        rig.selectRow(current);
    rig.take();
}

// Writes a program file and opens it with "Open File".
void openProgram(Rig& rig, const QString& name, const QByteArray& bytes) {
    QVERIFY(writeFile(rig.path(name), bytes));
    rig.platform.nextOpenName = rig.path(name);
    rig.form1->Button19Click();
}

QLineEdit& edit9(Rig& rig) {
    return *rig.control<QLineEdit>("Edit9");
}

} // namespace

class TimerModeTest : public QObject {
    Q_OBJECT
private slots:
    void stepClickWritesReadsBackAndKeepsTheDelay_data();
    void stepClickWritesReadsBackAndKeepsTheDelay();
    void stepClickWithEmptiedDelayStopsAfterThePattern();
    void applyingARowUsesEachReadingRule_data();
    void applyingARowUsesEachReadingRule();
    void applyingAShortRowStopsBeforeTheBoard();
    void addClearAndClearAll();
    void sliderSetsTheResolution();
    void saveWritesCrLfLinesUnderOneTxtName();
    void openReplacesTheListOnlyWhenTheFileWasRead();
    void openReportsFilesThatCannotBeRead();
    void openTakesSixteenMebibytesAndRefusesMore();
    void failingTickStopsTheRun();
    void startWithAnUnplayableFirstRowStopsTheRun();
    void startPlaysTheFirstStepOfAnOpenedFile();
    void onlyALeftClickSelectsARow();
    void rowsNeverHoldLineEnds();
    void fiveDigitDelayTextGivesFourDigits();
};

void TimerModeTest::stepClickWritesReadsBackAndKeepsTheDelay_data() {
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("row");
    QTest::newRow("delay 5") << 5 << "10000000-5";
    QTest::newRow("delay 0") << 0 << "10000000-0";
    QTest::newRow("delay 1234") << 1234 << "10000000-1234";
}

void TimerModeTest::stepClickWritesReadsBackAndKeepsTheDelay() {
    QFETCH(int, value);
    QFETCH(QString, row);
    Rig rig(1);
    rig.openBoard(0x00);
    edit9(rig).setText(QString::number(value));
    rig.take();
    rig.form1->StepButtonClick(1);
    QCOMPARE(rig.take(), (Log{"write 01", "pause 50", "read", "read"}));
    QCOMPARE(rig.form1->lamp(1).color(), clLime);
    QCOMPARE(rig.grid().cell(0), row);
    QCOMPARE(rig.button("Button2")->caption(), QStringLiteral("Relay 1 OFF"));
    QCOMPARE(rig.button("Button18")->caption(), QStringLiteral("Relay 1 OFF"));
    rig.form1->StepButtonClick(1); // a second click restores relay and row
    QCOMPARE(rig.take(), (Log{"write 00", "pause 50", "read", "read"}));
    QCOMPARE(rig.grid().cell(0), row.replace(0, 1, QLatin1Char('0')));
    QCOMPARE(rig.button("Button18")->top(), 112);
}

void TimerModeTest::stepClickWithEmptiedDelayStopsAfterThePattern() {
    Rig rig(1);
    rig.openBoard(0x00);
    edit9(rig).setText(QStringLiteral("5"));
    edit9(rig).clear(); // the position stays 5
    rig.platform.errors.clear();
    rig.take();
    rig.button("Button17")->click(); // through the guard, as the user's click runs it
    QCOMPARE(rig.platform.errors, QStringList{QStringLiteral("Range check error")});
    QCOMPARE(rig.grid().cell(0), QStringLiteral("01000000"));
    QCOMPARE(rig.take(), (Log{"write 02", "pause 50", "read"}));
    QCOMPARE(rig.button("Button3")->caption(), QStringLiteral("Relay 2 ON")); // not refreshed
}

void TimerModeTest::applyingARowUsesEachReadingRule_data() {
    QTest::addColumn<QString>("row");
    QTest::addColumn<QString>("write");
    QTest::addColumn<QString>("buttonsOn");
    QTest::addColumn<QString>("edit9");
    QTest::addColumn<QString>("rowAfter");
    QTest::newRow("01000001-12") << "01000001-12"
                                 << "write 82"
                                 << "01000001"
                                 << "12"
                                 << "01000001-12";
    QTest::newRow("20000000-1") << "20000000-1"
                                << "write 01"
                                << "00000000"
                                << "1"
                                << "10000000-1";
    QTest::newRow("00000000-007") << "00000000-007"
                                  << "write 00"
                                  << "00000000"
                                  << "007"
                                  << "00000000-0";
    QTest::newRow("0101010") << "0101010"
                             << "write aa"
                             << "01010100"
                             << "0"
                             << "0101010";
}

void TimerModeTest::applyingARowUsesEachReadingRule() {
    QFETCH(QString, row);
    QFETCH(QString, write);
    QFETCH(QString, buttonsOn);
    QFETCH(QString, edit9);
    QFETCH(QString, rowAfter);
    Rig rig(1);
    rig.openBoard(0x00);
    setRows(rig, {QStringLiteral("00000000-0"), row}, 0);
    rig.selectRow(1);
    QCOMPARE(rig.take(), (Log{write.toStdString()}));
    verifyRelayViews(rig, rig.driver.pins);
    verifyStepButtons(rig, steps::relayByteOfRow(buttonsOn.toStdString()));
    QCOMPARE(::edit9(rig).text(), edit9);
    QCOMPARE(rig.grid().cell(1), rowAfter);
    // Making the current row current again does nothing; another row with the same text writes.
    rig.selectRow(1);
    QVERIFY(rig.take().empty());
    const QString applied = rig.grid().cell(1);
    setRows(rig, {applied, applied}, 1);
    rig.selectRow(0);
    QCOMPARE(rig.take(), (Log{write.toStdString()}));
}

void TimerModeTest::applyingAShortRowStopsBeforeTheBoard() {
    Rig rig(1);
    rig.openBoard(0x00);
    rig.platform.errors.clear();
    setRows(rig, {QStringLiteral("00000000-0"), QStringLiteral("1111")}, 0);
    rig.selectRow(1);
    QCOMPARE(rig.platform.errors, QStringList{QStringLiteral("Range check error")});
    QVERIFY(rig.take().empty());                   // nothing written
    QCOMPARE(rig.form1->stepButton(4).top(), 32);  // positioned before the error
    QCOMPARE(rig.form1->stepButton(5).top(), 112); // 5th: CR, not "1"
    QCOMPARE(rig.form1->stepButton(7).top(), 112); // never reached
}

void TimerModeTest::addClearAndClearAll() {
    Rig rig(1);
    rig.openBoard(0x00);
    rig.form1->Button23Click(); // Add on a one-row list
    QCOMPARE(gridRows(rig.grid()), (std::vector<QString>{"00000000-0", "00000000-0"}));
    QCOMPARE(rig.grid().row(), 1);
    QCOMPARE(rig.take(), (Log{"write 00"})); // the copy was applied
    setRows(rig, {"10000000-1", "01000000-2", "00100000-3"}, 0);
    rig.form1->Button21Click(); // Clear removes the last row, whichever is current
    QCOMPARE(gridRows(rig.grid()), (std::vector<QString>{"10000000-1", "01000000-2"}));
    QCOMPARE(rig.grid().row(), 0);
    QVERIFY(rig.take().empty());
    rig.selectRow(1);
    rig.take();
    rig.form1->Button21Click();
    rig.form1->Button21Click(); // a one-row list keeps its row
    QCOMPARE(gridRows(rig.grid()), (std::vector<QString>{"10000000-1"}));
    QVERIFY(rig.take().empty());
    rig.form1->Button22Click(); // Clear all, row 0 current: still applied
    QCOMPARE(gridRows(rig.grid()), (std::vector<QString>{"00000000-0"}));
    QCOMPARE(rig.take(), (Log{"write 00", "write 00"})); // row 1, then row 0
    QCOMPARE(rig.form1->lamp(1).color(), clRed);
    QCOMPARE(rig.button("Button2")->caption(), QStringLiteral("Relay 1 ON"));
    QCOMPARE(edit9(rig).text(), QStringLiteral("0"));
}

void TimerModeTest::sliderSetsTheResolution() {
    Rig rig;
    rig.control<QSlider>("TrackBar1")->setValue(37);
    QCOMPARE(rig.form1->model().snapshot()->resolution, 37);
    QCOMPARE(rig.control<QLabel>("Label5")->text(), QStringLiteral("37"));
}

void TimerModeTest::saveWritesCrLfLinesUnderOneTxtName() {
    Rig rig;
    rig.platform.nextSaveName = QString(); // cancelled: nothing written
    rig.form1->Button20Click();
    QCOMPARE(rig.platform.lastSaveInitialName, QStringLiteral("New"));
    QVERIFY(!QFile::exists(rig.path("New.txt")));
    rig.platform.nextSaveName = rig.path("one");
    rig.form1->Button20Click();
    QFile one(rig.path("one.txt"));
    QVERIFY(one.open(QIODevice::ReadOnly));
    QCOMPARE(one.readAll(), QByteArray("00000000-0\r\n"));
    rig.platform.nextSaveName = rig.path("two.TXT");
    rig.form1->Button20Click();
    QVERIFY(QFile::exists(rig.path("two.TXT")));
    QVERIFY(!QFile::exists(rig.path("two.TXT.txt")));
    rig.platform.nextSaveName = rig.path("missing-folder/prog");
    rig.form1->Button20Click();
    QCOMPARE(rig.platform.errors.size(), 1);
    QVERIFY(rig.platform.errors[0].contains(QStringLiteral("missing-folder")));
}

void TimerModeTest::openReplacesTheListOnlyWhenTheFileWasRead() {
    Rig rig(1);
    rig.openBoard(0x00);
    QStringList program;
    for (int step = 0; step < 40; ++step)
        program << QStringLiteral("%1-%2")
                       .arg(QString::number(step % 256, 2).rightJustified(8, '0'))
                       .arg(step);
    setRows(rig, program, 7);
    rig.platform.nextSaveName = rig.path("prog");
    rig.form1->Button20Click();
    setRows(rig, {"11111111-1", "00000000-2"}, 1);
    // A missing file is reported and leaves the list as it was.
    rig.platform.nextOpenName = rig.path("nothing.txt");
    rig.form1->Button19Click();
    QCOMPARE(rig.platform.errors.size(), 1);
    QVERIFY(rig.platform.errors[0].contains(QStringLiteral("nothing.txt")));
    QCOMPARE(rig.grid().rowCount(), 2);
    // Cancelling leaves it too.
    rig.platform.nextOpenName.clear();
    rig.form1->Button19Click();
    QCOMPARE(rig.grid().rowCount(), 2);
    // The saved program comes back whole, row 0 current, nothing applied.
    rig.platform.nextOpenName = rig.path("prog.txt");
    rig.form1->Button19Click();
    std::vector<QString> expected(program.begin(), program.end());
    QCOMPARE(gridRows(rig.grid()), expected);
    QCOMPARE(rig.grid().row(), 0);
    QVERIFY(rig.take().empty());
    QCOMPARE(edit9(rig).text(), QStringLiteral("2"));
}

void TimerModeTest::openReportsFilesThatCannotBeRead() {
    Rig rig;
    setRows(rig, {"10000000-1", "01000000-2"}, 1);
    const auto expectRefused = [&](const QString& path) {
        rig.platform.errors.clear();
        rig.platform.nextOpenName = path;
        rig.form1->Button19Click();
        QCOMPARE(rig.platform.errors.size(), 1);
        QVERIFY(rig.platform.errors[0].contains(QDir::toNativeSeparators(path)));
        QCOMPARE(gridRows(rig.grid()), (std::vector<QString>{"10000000-1", "01000000-2"}));
        QCOMPARE(rig.grid().row(), 1);
    };
    QVERIFY(QDir(rig.path(".")).mkdir(QStringLiteral("folder")));
    expectRefused(rig.path("folder"));               // a directory
    expectRefused(QStringLiteral("/proc/self/mem")); // opens, but every read fails
    const QString locked = rig.path("locked.txt");
    QFile file(locked);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("00000000-1\r\n");
    file.close();
    QFile::setPermissions(locked, QFileDevice::Permissions());
    if (!QFile(locked).open(QIODevice::ReadOnly)) // root reads it all the same
        expectRefused(locked);
}

// The largest program file opens whole; one byte more is refused with its size and the limit,
// and the list stays as it was.
void TimerModeTest::openTakesSixteenMebibytesAndRefusesMore() {
    Rig rig;
    setRows(rig, {"10000000-1"});
    const QString path = rig.path("big.txt");
    const QByteArray line("10000001-25\r\n");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const qint64 limit = 16 * 1024 * 1024;
        file.write(line.repeated(static_cast<int>(limit / line.size())));
        file.write(QByteArray(static_cast<int>(limit % line.size()), '\n'));
    }
    const qint64 lines = QFileInfo(path).size() / line.size();
    rig.platform.nextOpenName = path;
    rig.form1->Button19Click();
    QVERIFY(rig.platform.errors.isEmpty());
    QCOMPARE(rig.grid().rowCount(), lines + QFileInfo(path).size() % line.size());
    QCOMPARE(rig.grid().cell(static_cast<int>(lines - 1)), QStringLiteral("10000001-25"));

    setRows(rig, {"10000000-1"});
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append));
        file.write("\n");
    }
    rig.form1->Button19Click();
    QCOMPARE(rig.platform.errors.size(), 1);
    QVERIFY(rig.platform.errors[0].contains(QStringLiteral("16777217")));
    QVERIFY(rig.platform.errors[0].contains(QStringLiteral("16777216")));
    QCOMPARE(gridRows(rig.grid()), (std::vector<QString>{"10000000-1"}));
}

// A program file with a blank last line, played with Repeat: the tick that reaches the blank row
// fails, the run stops as Stop stops it, and the error is shown once, not on every tick.
void TimerModeTest::failingTickStopsTheRun() {
    Rig rig(1);
    rig.openBoard(0x00);
    openProgram(rig, QStringLiteral("blank-last.txt"), "10000000-1\r\n01000000-1\r\n\r\n");
    QCOMPARE(rig.grid().rowCount(), 3);
    rig.control<QCheckBox>("CheckBox1")->setChecked(true);
    rig.form1->Button34Click();
    for (int tick = 0; tick < 6 && rig.form1->model().snapshot()->timerEnabled; ++tick)
        rig.form1->Timer1Timer(); // as the timer delivers them
    QCOMPARE(rig.platform.errors, QStringList{QStringLiteral("Range check error")});
    QVERIFY(!rig.form1->model().snapshot()->timerEnabled);
    QCOMPARE(rig.button("Button34")->caption(), QStringLiteral("Start"));
    QCOMPARE(rig.button("Button35")->caption(), QStringLiteral("Pause"));
    QCOMPARE(rig.control<UpDown>("UpDown1")->position(), 1); // the step's full delay
    // A handler's error still stops only that handler.
    rig.selectRow(0);
    rig.form1->Button34Click();
    QCOMPARE(rig.button("Button34")->caption(), QStringLiteral("Stop"));
    QVERIFY(rig.form1->model().snapshot()->timerEnabled);
}

// Start stops again when row 0 cannot be played, whether it was current or not, and says so once;
// the check that plays a program dry finds the row too.
void TimerModeTest::startWithAnUnplayableFirstRowStopsTheRun() {
    Rig rig(1);
    rig.openBoard(0x00);
    for (const int current : {0, 1}) {
        setRows(rig, {"1111", "10000000-1"}, current);
        rig.platform.errors.clear();
        rig.form1->Button34Click();
        QCOMPARE(rig.platform.errors, QStringList{QStringLiteral("Range check error")});
        QVERIFY(!rig.form1->model().snapshot()->timerEnabled);
        QCOMPARE(rig.form1->model().snapshot()->run, model::Run::Idle);
        QCOMPARE(rig.button("Button34")->caption(), QStringLiteral("Start"));
        QCOMPARE(rig.grid().row(), 0);
        QVERIFY(rig.take().empty());
    }
    const auto unplayable = model::findUnplayableStep(programRows({"1111", "10000000-1"}), false);
    QVERIFY(unplayable);
    QCOMPARE(unplayable->row, std::size_t{0});
}

// After Open File row 0 is current but not applied; Start still plays it with its own pattern
// and delay, and the played program's rows end as they were.
void TimerModeTest::startPlaysTheFirstStepOfAnOpenedFile() {
    Rig rig(1);
    rig.openBoard(0x00);
    edit9(rig).setText(QStringLiteral("3"));
    openProgram(rig, QStringLiteral("two.txt"), "10000000-5\r\n01000000-2\r\n");
    rig.take();
    rig.form1->Button34Click();
    QCOMPARE(rig.take(), (Log{"write 01"}));
    QCOMPARE(edit9(rig).text(), QStringLiteral("5"));
    for (int tick = 0; tick < 20 && rig.form1->model().snapshot()->timerEnabled; ++tick)
        rig.form1->Timer1Timer();
    QCOMPARE(rig.take(), (Log{"write 02"}));
    QCOMPARE(gridRows(rig.grid()), (std::vector<QString>{"10000000-5", "01000000-2"}));
}

// Only a left click (or the keyboard) selects a row, and the selected row stays highlighted.
void TimerModeTest::onlyALeftClickSelectsARow() {
    Rig rig(1);
    rig.openBoard(0x00);
    setRows(rig, {"10000000-1", "01000000-2", "00100000-3"}, 0);
    rig.form1->show();
    auto& ui = rig.form1->controls();
    ui.TabbedNotebook1->setCurrentWidget(ui.TimerPage);
    QVERIFY(QTest::qWaitForWindowExposed(rig.form1.get()));
    StringGrid& grid = rig.grid();
    const auto rowCentre = [&](int row) { return grid.rowRect(row).center(); };
    for (const Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton}) {
        QTest::mouseClick(grid.viewport(), button, Qt::NoModifier, rowCentre(1));
        QCOMPARE(grid.row(), 0);
    }
    QVERIFY(rig.take().empty());
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, Qt::NoModifier, rowCentre(2));
    QCOMPARE(grid.row(), 2);
    QCOMPARE(rig.take(), (Log{"write 04"}));
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(2));
    QCOMPARE(grid.row(), 2);
    // The current row is drawn in the selection colour.
    const QImage shown = grid.viewport()->grab().toImage();
    QCOMPARE(shown.pixelColor(grid.rowRect(2).topLeft() + QPoint(1, 1)),
             grid.palette().color(QPalette::Active, QPalette::Highlight));
    QCOMPARE(rig.take(), (Log{"write 04"})); // a click on the current row still applies it
    QTest::keyClick(&grid, Qt::Key_Up);
    QCOMPARE(grid.row(), 1);
    QCOMPARE(rig.take(), (Log{"write 02"}));
}

// Whatever path a text takes into a row, the row keeps only what comes before a CR or LF, so a
// saved program never gains a line.
void TimerModeTest::rowsNeverHoldLineEnds() {
    Rig rig;
    edit9(rig).setText(QStringLiteral("123"));
    edit9(rig).setText(QStringLiteral("12\r\n3")); // pasted; the timer value stays 123
    QCOMPARE(rig.grid().cell(0), QStringLiteral("00000000-12"));
    rig.setRows({"01000000-7\nextra"});
    QCOMPARE(rig.grid().cell(0), QStringLiteral("01000000-7"));
    rig.platform.nextSaveName = rig.path("prog");
    rig.form1->Button20Click();
    QFile saved(rig.path("prog.txt"));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), QByteArray("01000000-7\r\n"));
}

void TimerModeTest::fiveDigitDelayTextGivesFourDigits() {
    Rig rig;
    edit9(rig).setText(QStringLiteral("12345")); // typed: the position stops at 9999
    QCOMPARE(rig.control<UpDown>("UpDown1")->position(), 9999);
    QCOMPARE(rig.grid().cell(0), QStringLiteral("00000000-1234"));
    QVERIFY(rig.platform.errors.isEmpty());
}

QTEST_MAIN(TimerModeTest)
#include "test_timermode.moc"
