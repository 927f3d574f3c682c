// The main window on a simulated board that misbehaves: unplugged while a program plays at 1 ms,
// unplugged before a manual click, and failing reads while writes still work.
#include "support/WindowRig.h"

#include "ui_TForm1.h"

#include <QElapsedTimer>
#include <QSlider>
#include <QtTest>

#include <mutex>

namespace {

struct FaultRig {
    WorkingFolder folder; // the working directory, and where the window serves its board
    Log log;
    RecordingPlatform platform{log};
    SimulatedBoards boards;
    mutable std::mutex traceLock; // the sequencer's thread records, the test reads
    std::vector<devices::testing::TraceRecord> trace;
    std::unique_ptr<MainWindow> window;
    TForm1* form = nullptr;

    explicit FaultRig(const std::string& faults)
        : boards(1, devices::testing::parseFaults(faults)) {
        boards.setTraceSink([this](const devices::testing::TraceRecord& r) {
            const std::lock_guard lock(traceLock);
            trace.push_back(r);
        });
        window = std::make_unique<MainWindow>(boards.registry(), platform);
        form = &window->form;
    }
    ~FaultRig() { window.reset(); }
    TPanel& status() const { return *form->controls().Panel27; }
    std::size_t calls() const {
        const std::lock_guard lock(traceLock);
        return trace.size();
    }
    int count(const std::string& op, bool ok) const {
        const std::lock_guard lock(traceLock);
        return static_cast<int>(std::count_if(
            trace.begin(), trace.end(), [&](const auto& r) { return r.op == op && r.ok == ok; }));
    }
};

} // namespace

class FaultsTest : public QObject {
    Q_OBJECT
private slots:
    void unplugWhileAProgramRunsAtOneMillisecond();
    void unplugThenAManualClick();
    void failingReadsWithWorkingWrites();
    void anErrorBoxHoldsUpNoTick();
    void aWedgedBoardStopsTheRunAndTheWindowStillCloses();
};

void FaultsTest::unplugWhileAProgramRunsAtOneMillisecond() {
    // count + open + 4 reads = 6 calls, then 20 steps play before the board vanishes.
    FaultRig rig("unplug-after=26");
    rig.form->Button33Click();
    QCOMPARE(rig.status().text(), QStringLiteral("Board found !"));
    StringGrid& grid = *rig.form->controls().StringGrid4;
    std::vector<std::string> rows;
    for (int step = 0; step < 60; ++step)
        rows.push_back(std::string(step % 2 ? "11110000" : "00001111") + "-1");
    rig.form->act([&] { rig.form->model().loadProgram(programRows(rows)); });
    rig.form->StringGrid4Select(59);
    rig.form->controls().TrackBar1->setValue(1);
    rig.form->Button34Click();
    QTRY_COMPARE_WITH_TIMEOUT(rig.form->controls().Button34->caption(), QStringLiteral("Start"),
                              10000);
    // The run stops at the first write that fails, as Stop would, and says so once; nothing
    // more is written to the lost board.
    QVERIFY(!rig.form->model().snapshot()->timerEnabled);
    QCOMPARE(grid.row(), 19);
    QCOMPARE(rig.form->controls().Button35->caption(), QStringLiteral("Pause"));
    QCOMPARE(rig.status().text(), QStringLiteral("Board not found !"));
    QCOMPARE(rig.status().color(), clRed);
    // Row 59 selected, row 0 at Start, steps 1 to 18, then step 19 fails.
    QCOMPARE(rig.count("write", true), 20);
    QCOMPARE(rig.count("write", false), 1);
    QTRY_COMPARE(rig.platform.errors.size(), 1);
    QCOMPARE(rig.platform.errors.front(), QString::fromLatin1(model::kBoardStoppedAnswering));
    QTest::qWait(20);
    QCOMPARE(rig.count("write", false), 1);
}

void FaultsTest::unplugThenAManualClick() {
    FaultRig rig("unplug-after=6"); // count + open + 4 reads
    rig.boards.boards().setRelays(0, 0x00);
    rig.form->Button33Click();
    QCOMPARE(rig.status().text(), QStringLiteral("Board found !"));
    rig.form->RelayButtonClick(1); // relay 1: both writes and both reads fail
    QCOMPARE(rig.status().text(), QStringLiteral("Board not found !"));
    QCOMPARE(rig.count("write", false), 2);
    QCOMPARE(rig.count("read", false), 2);
    // The views follow the byte the program built, as with no board at all.
    QCOMPARE(rig.form->controls().Button2->caption(), QStringLiteral("Relay 1 OFF"));
    QCOMPARE(rig.form->lamp(1).color(), clLime);
    QCOMPARE(rig.form->controls().StringGrid4->cell(0), QStringLiteral("10000000-0"));
    QCOMPARE(rig.boards.boards().relays(0), 0x00);
    // Dropping the list down now finds no board at all.
    rig.form->ComboBox1DropDown();
    QCOMPARE(rig.form->controls().ComboBox1->currentText(), QStringLiteral("No Boards Found"));
}

void FaultsTest::failingReadsWithWorkingWrites() {
    FaultRig rig("fail-reads");
    rig.form->Button33Click();
    // The pins could not be read, so the board is not reported as found.
    QCOMPARE(rig.status().text(), QStringLiteral("Board not found !"));
    rig.form->Button9Click(); // ALL ON
    QCOMPARE(rig.boards.boards().relays(0), 0xFF);
    QCOMPARE(rig.count("write", true), 2);
    QCOMPARE(rig.status().color(), clRed);
    QCOMPARE(rig.form->controls().StringGrid4->cell(0), QStringLiteral("11111111-0"));
}

// A handler's message box is shown once the model is free, after the window shows what the
// failed handler left: the run plays on behind it.
void FaultsTest::anErrorBoxHoldsUpNoTick() {
    FaultRig rig("");
    rig.form->Button33Click();
    rig.form->act([&] {
        rig.form->model().loadProgram(programRows({"10000000-1", "01000000-1"}));
    });
    rig.form->controls().CheckBox1->setChecked(true);
    rig.form->Button34Click();
    std::size_t writesWhileOpen = 0;
    QString resolutionShown;
    rig.platform.duringError = [&] {
        resolutionShown = rig.form->controls().Label5->text();
        const std::size_t before = rig.calls();
        QTest::qWait(50);
        writesWhileOpen = rig.calls() - before;
    };
    rig.form->act([&] {
        rig.form->model().changeResolution(2);
        throw std::runtime_error("the handler failed");
    });
    QCOMPARE(rig.platform.errors, QStringList{QStringLiteral("the handler failed")});
    QCOMPARE(resolutionShown, QStringLiteral("2"));
    QVERIFY2(writesWhileOpen >= 5, qPrintable(QString::number(writesWhileOpen)));
    rig.form->Button34Click();
}

// Every call of a wedged board hangs for 300 ms and fails: the run stops at its first write, a
// Pause clicked meanwhile gets its turn, one message says why, and the window still closes.
void FaultsTest::aWedgedBoardStopsTheRunAndTheWindowStillCloses() {
    // count + open + 4 reads = 6 calls, then 30 steps play before the board wedges.
    FaultRig rig("wedge-after=36");
    rig.form->Button33Click();
    std::vector<std::string> rows;
    for (int step = 0; step < 200; ++step)
        rows.push_back(std::string(step % 2 ? "11110000" : "00001111") + "-1");
    rig.form->act([&] { rig.form->model().loadProgram(programRows(rows)); });
    rig.form->Button34Click();
    // However slowly the steps come (a loaded Debug build), the click lands while the sequencer
    // hangs in the wedged board's first call, which starts a tick after the 30th step.
    QTRY_COMPARE_WITH_TIMEOUT(rig.count("write", true), 30, 10000);
    QTest::qWait(50);
    rig.form->Button35Click();
    QCOMPARE(rig.form->controls().Button34->caption(), QStringLiteral("Start"));
    QTRY_COMPARE(rig.platform.errors.size(), 1);
    QCOMPARE(rig.platform.errors.front(), QString::fromLatin1(model::kBoardStoppedAnswering));
    QCOMPARE(rig.count("write", true), 30);
    QCOMPARE(rig.count("write", false), 1);
    rig.form->close();
    QVERIFY(!rig.form->isVisible());
    QCOMPARE(rig.count("close", true), 1);
    QCOMPARE(rig.count("write", false), 1);
}

QTEST_MAIN(FaultsTest)
#include "test_faults.moc"
