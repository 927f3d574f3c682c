// The main window as it opens and closes, its layout, and the event rules the handlers rely on.
#include "support/WindowRig.h"

#include "ui_TForm1.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTabWidget>
#include <QtTest>

class StartupTest : public QObject {
    Q_OBJECT
private slots:
    void startsWithoutBoardInTheStartState();
    void startsWithBoardsStillReportingNotFound();
    void closingWithoutBoardClosesZeroHandleAndSavesLabels();
    void closingWithRelaysOnSendsNothing();
    void gridFiresOnlyForDifferentRowsOrClicks();
    void gridNeverHasFewerThanOneRowAndShrinkingFiresNothing();
    void edit9ChangesByCodeRunEdit9Change();
    void upDownKeepsTextAndPositionApart();
    void handlerFailureIsShownAndTheProgramGoesOn();
};

void StartupTest::startsWithoutBoardInTheStartState() {
    Rig rig;
    QCOMPARE(rig.log, (Log{"count 0"})); // no open, write or read reached the driver
    auto* panel = rig.control<TPanel>("Panel27");
    QCOMPARE(panel->text(), QStringLiteral("Board not found !"));
    QCOMPARE(panel->color(), clRed);
    auto* list = rig.control<TComboBox>("ComboBox1");
    QCOMPARE(list->count(), 0);
    QCOMPARE(list->currentText(), QStringLiteral("No Boards Found"));
    QCOMPARE(rig.grid().rowCount(), 1);
    QCOMPARE(rig.grid().cell(0), QStringLiteral("00000000-0"));
    QCOMPARE(rig.grid().row(), 0);
    QCOMPARE(rig.state().relayByte, 0);
    QCOMPARE(rig.boardHandle(), devices::ftdi::Handle{0});
    QVERIFY(!rig.form1->model().snapshot()->timerEnabled);
    QCOMPARE(rig.form1->model().snapshot()->resolution, 1);
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        QCOMPARE(rig.form1->lamp(entry.relay).color(), clBtnFace);
        const QString off = QStringLiteral("Relay %1 OFF").arg(entry.relay);
        QCOMPARE(rig.form1->relayButton(entry.relay).caption(), off);
        QCOMPARE(rig.form1->stepButton(entry.relay).caption(), off);
        QCOMPARE(rig.form1->stepButton(entry.relay).top(), 112);
    }
    QCOMPARE(rig.button("Button34")->caption(), QStringLiteral("Start"));
    QCOMPARE(rig.button("Button35")->caption(), QStringLiteral("Pause"));
    QCOMPARE(rig.control<QLineEdit>("Edit9")->text(), QStringLiteral("0"));
    QCOMPARE(rig.control<QLabel>("Label5")->text(), QStringLiteral("1"));
    QVERIFY(!QFile::exists(rig.path("labels.dat"))); // the first save creates it
    QVERIFY(!rig.form2->isVisible());                // the label dialog waits for a right press
    QCOMPARE(rig.control<QTabWidget>("TabbedNotebook1")->currentIndex(), 1); // "Manual Mode"
    QVERIFY(rig.button("Button18")->font().bold()); // relay 1's step button stands out
    QVERIFY(!rig.button("Button17")->font().bold());
}

void StartupTest::startsWithBoardsStillReportingNotFound() {
    Rig rig(2);
    QCOMPARE(rig.control<TPanel>("Panel27")->text(), QStringLiteral("Board not found !"));
    QCOMPARE(rig.control<TPanel>("Panel27")->color(), clRed);
    QCOMPARE(rig.boardHandle(), devices::ftdi::Handle{0});
}

void StartupTest::closingWithoutBoardClosesZeroHandleAndSavesLabels() {
    Rig rig;
    rig.take();
    rig.form1->show();
    rig.form1->close();
    QCOMPARE(rig.take(), (Log{"close 0"}));
    QFile file(rig.path("labels.dat"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.size(), 320);
}

void StartupTest::closingWithRelaysOnSendsNothing() {
    Rig rig(1);
    rig.openBoard(0xA5);
    rig.form1->close();
    QCOMPARE(rig.take(), (Log{"close " + std::to_string(0x1000)}));
    QCOMPARE(rig.driver.pins, 0xA5);
}

// A row is applied (one write) when a different row becomes current, and on every left click.
void StartupTest::gridFiresOnlyForDifferentRowsOrClicks() {
    Rig rig(1);
    rig.openBoard(0x00);
    StringGrid& grid = rig.grid();
    rig.setRows({"10000000-1", "01000000-2", "00100000-3"});
    rig.selectRow(0); // already current
    QVERIFY(rig.take().empty());
    rig.selectRow(2);
    QCOMPARE(rig.take(), (Log{"write 04"}));
    rig.form1->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.form1.get()));
    rig.control<QTabWidget>("TabbedNotebook1")->setCurrentIndex(2);
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, grid.rowRect(2).center());
    QCOMPARE(rig.take(), (Log{"write 04"})); // a click on the current row still counts
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, grid.rowRect(1).center());
    QCOMPARE(rig.take(), (Log{"write 02"}));
    QCOMPARE(grid.row(), 1);
    grid.setFocus();
    QTest::keyClick(grid.viewport(), Qt::Key_Down);
    QCOMPARE(rig.take(), (Log{"write 04"}));
    QCOMPARE(grid.row(), 2);
    QTest::keyClicks(&grid, QStringLiteral("9x")); // rows cannot be typed into
    QCOMPARE(grid.cell(2), QStringLiteral("00100000-3"));
    QTest::keyClick(grid.viewport(), Qt::Key_End); // already the last row
    QVERIFY(rig.take().empty());
}

void StartupTest::gridNeverHasFewerThanOneRowAndShrinkingFiresNothing() {
    Rig rig(1);
    rig.openBoard(0x00);
    rig.setRows({"10000000-1", "01000000-2", "00100000-3"});
    rig.selectRow(2);
    rig.take();
    rig.form1->Button21Click(); // Clear
    QCOMPARE(rig.grid().row(), 1);
    rig.form1->Button21Click();
    rig.form1->Button21Click();
    QCOMPARE(rig.grid().rowCount(), 1);
    QCOMPARE(rig.grid().row(), 0);
    QVERIFY(rig.take().empty());
}

void StartupTest::edit9ChangesByCodeRunEdit9Change() {
    Rig rig;
    auto* edit = rig.control<QLineEdit>("Edit9");
    edit->setText(QStringLiteral("42"));
    QCOMPARE(rig.grid().cell(0), QStringLiteral("00000000-42")); // composed by Edit9Change
    rig.form1->UpDown1Click(-35); // the arrows set the value, which writes the edit
    QCOMPARE(rig.grid().cell(0), QStringLiteral("00000000-7"));
}

void StartupTest::upDownKeepsTextAndPositionApart() {
    Rig rig;
    auto* edit = rig.control<QLineEdit>("Edit9");
    auto* upDown = rig.control<UpDown>("UpDown1");
    edit->setText(QStringLiteral("05"));
    QCOMPARE(upDown->position(), 5);
    QCOMPARE(edit->text(), QStringLiteral("05"));
    edit->setText(QString());
    QCOMPARE(upDown->position(), 5); // no number: the position stays
    edit->setText(QStringLiteral("12345"));
    QCOMPARE(upDown->position(), 9999);
    edit->setText(QStringLiteral("9999"));
    rig.form1->UpDown1Click(+1); // no wrap-around
    QCOMPARE(upDown->position(), 9999);
    QCOMPARE(edit->text(), QStringLiteral("9999"));
    edit->setText(QStringLiteral("0"));
    rig.form1->UpDown1Click(-1);
    QCOMPARE(edit->text(), QStringLiteral("0"));
}

void StartupTest::handlerFailureIsShownAndTheProgramGoesOn() {
    Rig rig;
    rig.setRows({"01"});
    rig.control<QLineEdit>("Edit9")->setText(QStringLiteral("3")); // compose reads past the row
    QCOMPARE(rig.platform.errors, QStringList{QStringLiteral("Range check error")});
    QCOMPARE(rig.grid().cell(0), QStringLiteral("01")); // the row keeps its text
}

QTEST_MAIN(StartupTest)
#include "test_startup.moc"
