// Golden runs: scripted sessions through the whole window on the recording driver, each written
// out as the driver calls and pauses every action caused, and the state every view shows at the
// end. The transcripts under tests/golden/ are the program's behaviour as it stands; a change
// that alters any of them shows up here. TAMBROOK_UPDATE_GOLDEN=1 rewrites them after an
// intended change.
#include "support/WindowRig.h"

#include "ui_TForm1.h"
#include "ui_TForm2.h"

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QToolButton>
#include <QtTest>

#ifndef TAMBROOK_GOLDEN_DIR
#error "TAMBROOK_GOLDEN_DIR names the folder of the golden transcripts"
#endif

namespace {

QString colorName(TColor color) {
    if (color == clLime)
        return QStringLiteral("lime");
    if (color == clRed)
        return QStringLiteral("red");
    return QStringLiteral("face");
}

// One scripted session: each action is written to the transcript with the calls it caused.
class Session {
public:
    explicit Session(std::uint32_t devices, std::uint8_t pins = 0x00,
                     std::function<void(RecordingDriver&)> setUp = {})
        : rig_(devices, [&](RecordingDriver& driver) {
            driver.pins = pins;
            if (setUp)
                setUp(driver);
        }) {
        rig_.form1->show();
        QVERIFY(QTest::qWaitForWindowExposed(rig_.form1.get()));
        note(QStringLiteral("start"));
    }

    Rig& rig() { return rig_; }
    Ui::TForm1& ui() { return rig_.form1->controls(); }

    void click(const char* name) {
        QTest::mouseClick(rig_.control<QAbstractButton>(name), Qt::LeftButton);
        note(QStringLiteral("click %1").arg(QLatin1String(name)));
    }
    void press(const char* name, Qt::MouseButton button) {
        QWidget* target = rig_.control<QWidget>(name);
        QTest::mousePress(target, button);
        QTest::mouseRelease(target, button);
        note(QStringLiteral("press %1 %2")
                 .arg(QLatin1String(name), button == Qt::RightButton ? "right" : "middle"));
    }
    void page(int index) {
        ui().TabbedNotebook1->setCurrentIndex(index);
        QCoreApplication::processEvents();
        note(QStringLiteral("page %1").arg(index));
    }
    void dropDown(int choose = -1) {
        ui().ComboBox1->showPopup();
        ui().ComboBox1->hidePopup();
        if (choose >= 0)
            ui().ComboBox1->setCurrentIndex(choose);
        note(QStringLiteral("drop down, choose %1").arg(choose));
    }
    void clickRow(int row) {
        StringGrid& grid = rig_.grid();
        const QPoint centre = grid.rowRect(row).center();
        QTest::mouseClick(grid.viewport(), Qt::LeftButton, Qt::NoModifier, centre);
        note(QStringLiteral("click row %1").arg(row));
    }
    void typeDelay(const QString& text) {
        QLineEdit& edit = *ui().Edit9;
        edit.setFocus();
        edit.selectAll();
        QTest::keyClicks(&edit, text);
        note(QStringLiteral("type delay \"%1\"").arg(text));
    }
    void arrow(bool up) {
        const QList<QToolButton*> arrows = ui().UpDown1->findChildren<QToolButton*>();
        QTest::mouseClick(arrows.at(up ? 0 : 1), Qt::LeftButton);
        note(QStringLiteral("arrow %1").arg(up ? "up" : "down"));
    }
    void slider(int value) {
        ui().TrackBar1->setValue(value);
        note(QStringLiteral("slider %1").arg(value));
    }
    void ticks(int count) {
        int delivered = 0;
        for (; delivered < count && rig_.form1->model().snapshot()->timerEnabled; ++delivered)
            rig_.form1->Timer1Timer();
        note(QStringLiteral("ticks %1 (delivered %2)").arg(count).arg(delivered));
    }
    void writeFile(const QString& name, const QByteArray& bytes) {
        QVERIFY(::writeFile(rig_.path(name), bytes));
    }
    void openFile(const QString& name) {
        rig_.platform.nextOpenName = rig_.path(name);
        click("Button19");
    }
    void saveFile(const QString& name) {
        rig_.platform.nextSaveName = rig_.path(name);
        click("Button20");
        QFile saved(rig_.path(name + QStringLiteral(".txt")));
        if (saved.open(QIODevice::ReadOnly))
            transcript_ << QStringLiteral("  file %1.txt: %2")
                               .arg(name,
                                    QString::fromLatin1(saved.readAll().toPercentEncoding(" -")));
    }
    void editLabels(const QString& on, const QString& off, bool enter) {
        auto& dialog = rig_.form2->controls();
        dialog.Edit1->setText(on);
        dialog.Edit2->setText(off);
        if (enter)
            QTest::keyClick(dialog.Edit2, Qt::Key_Return);
        else
            QTest::mouseClick(dialog.Button1, Qt::LeftButton);
        note(QStringLiteral("labels \"%1\" \"%2\" by %3").arg(on, off, enter ? "Enter" : "OK"));
    }
    void closeDialog() {
        rig_.form2->close();
        note(QStringLiteral("close the Setting window"));
    }
    void closeWindow() {
        rig_.form1->close();
        note(QStringLiteral("close the main window"));
    }

    // The transcript: every action with its calls, then what every view shows.
    QString finish() {
        Ui::TForm1& u = ui();
        QStringList& t = transcript_;
        t << QStringLiteral("= views");
        for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
            const int relay = entry.relay;
            t << QStringLiteral("  relay %1: button \"%2\", lamp %3, step button top %4 \"%5\"")
                     .arg(relay)
                     .arg(rig_.form1->relayButton(relay).caption(),
                          colorName(rig_.form1->lamp(relay).color()))
                     .arg(rig_.form1->stepButton(relay).top())
                     .arg(rig_.form1->stepButton(relay).caption());
        }
        t << QStringLiteral("  status: \"%1\" %2")
                 .arg(u.Panel27->text(), colorName(u.Panel27->color()));
        QStringList items;
        for (int i = 0; i < u.ComboBox1->count(); ++i)
            items << u.ComboBox1->itemText(i);
        t << QStringLiteral("  board list: \"%1\" [%2]")
                 .arg(u.ComboBox1->currentText(), items.join(", "));
        const StringGrid& grid = rig_.grid();
        for (int row = 0; row < grid.rowCount(); ++row)
            t << QStringLiteral("  row %1%2: \"%3\"")
                     .arg(row)
                     .arg(row == grid.row() ? "*" : "")
                     .arg(grid.cell(row));
        t << QStringLiteral("  Edit9 \"%1\", timer value %2, resolution %3 (\"%4\"), repeat %5")
                 .arg(u.Edit9->text())
                 .arg(u.UpDown1->position())
                 .arg(rig_.form1->model().snapshot()->resolution)
                 .arg(u.Label5->text())
                 .arg(u.CheckBox1->isChecked());
        t << QStringLiteral("  run: \"%1\" \"%2\", timer %3, saved delay %4")
                 .arg(u.Button34->caption(), u.Button35->caption())
                 .arg(rig_.form1->model().snapshot()->timerEnabled ? "on" : "off")
                 .arg(rig_.state().savedStepDelay);
        QStringList labels;
        for (const std::string& label : rig_.state().labelTable)
            labels << QString::fromLatin1(label.c_str());
        t << QStringLiteral("  labels: %1").arg(labels.join(QStringLiteral(" | ")));
        auto& dialog = rig_.form2->controls();
        t << QStringLiteral("  Setting window: %1, relay %2, \"%3\" \"%4\"")
                 .arg(rig_.form2->isVisible() ? "shown" : "hidden")
                 .arg(rig_.state().editedRelay)
                 .arg(dialog.Edit1->text(), dialog.Edit2->text());
        t << QStringLiteral("  relay byte %1, board handle %2")
                 .arg(QString::fromStdString(hex2(rig_.state().relayByte)))
                 .arg(rig_.boardHandle());
        return t.join(QLatin1Char('\n')) + QLatin1Char('\n');
    }

private:
    void note(const QString& action) {
        transcript_ << QStringLiteral("> ") + action;
        for (const std::string& call : rig_.take())
            transcript_ << QStringLiteral("  ") + QString::fromStdString(call);
        const QString folder = QFileInfo(rig_.path(QStringLiteral("x"))).absolutePath();
        for (QString error : rig_.platform.errors)
            transcript_ << QStringLiteral("  message box: ") +
                               error.replace(QDir::toNativeSeparators(folder),
                                             QStringLiteral("<dir>"));
        rig_.platform.errors.clear();
    }

    Rig rig_;
    QStringList transcript_;
};

void compareWithGolden(const QString& name, const QString& transcript) {
    const QString path = QStringLiteral(TAMBROOK_GOLDEN_DIR "/%1.txt").arg(name);
    if (qEnvironmentVariableIsSet("TAMBROOK_UPDATE_GOLDEN")) {
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(transcript.toUtf8());
        return;
    }
    QFile golden(path);
    QVERIFY2(golden.open(QIODevice::ReadOnly), qPrintable(path + QStringLiteral(" is missing")));
    const QStringList expected = QString::fromUtf8(golden.readAll()).split(QLatin1Char('\n'));
    const QStringList actual = transcript.split(QLatin1Char('\n'));
    for (int line = 0; line < std::max(expected.size(), actual.size()); ++line) {
        const QString want = line < expected.size() ? expected[line] : QStringLiteral("<end>");
        const QString got = line < actual.size() ? actual[line] : QStringLiteral("<end>");
        QVERIFY2(want == got,
                 qPrintable(QStringLiteral("%1.txt line %2:\n  golden: %3\n  now:    %4")
                                .arg(name)
                                .arg(line + 1)
                                .arg(want, got)));
    }
}

} // namespace

class GoldenTest : public QObject {
    Q_OBJECT
private slots:
    void noBoard();
    void manualControlOnOneBoard();
    void secondOfTwoBoards();
    void stepEditor();
    void sequencer();
    void programFiles();
    void boardFaults();
    void labelDialog();
};

void GoldenTest::noBoard() {
    Session s(0);
    s.dropDown();
    s.click("Button33");
    s.click("Button2");
    s.click("Button9");
    s.click("Button10");
    s.page(2);
    s.click("Button16");
    s.closeWindow();
    compareWithGolden(QStringLiteral("no-board"), s.finish());
}

void GoldenTest::manualControlOnOneBoard() {
    Session s(1, 0x25);
    s.click("Button33");
    for (const char* button :
         {"Button2", "Button3", "Button1", "Button4", "Button5", "Button6", "Button7", "Button8"})
        s.click(button);
    s.click("Button9");
    s.click("Button3");
    s.click("Button10");
    s.click("Button7");
    s.page(2);
    s.click("Button12");
    s.closeWindow();
    compareWithGolden(QStringLiteral("manual-one-board"), s.finish());
}

void GoldenTest::secondOfTwoBoards() {
    Session s(2, 0x81);
    s.dropDown(1);
    s.click("Button33");
    s.click("Button3");
    s.dropDown();
    s.closeWindow();
    compareWithGolden(QStringLiteral("two-boards"), s.finish());
}

void GoldenTest::stepEditor() {
    Session s(1, 0x00);
    s.click("Button33");
    s.page(2);
    s.click("Button18");
    s.click("Button11");
    s.typeDelay(QStringLiteral("12"));
    s.click("Button23"); // Add
    s.click("Button15");
    s.arrow(true);
    s.arrow(true);
    s.arrow(false);
    s.click("Button23");
    s.typeDelay(QStringLiteral("05"));
    s.clickRow(0);
    s.clickRow(2);
    s.clickRow(1);
    s.click("Button21"); // Clear
    s.click("Button22"); // Clear all
    s.click("Button23");
    s.click("Button18");
    compareWithGolden(QStringLiteral("step-editor"), s.finish());
}

void GoldenTest::sequencer() {
    Session s(1, 0x00);
    s.click("Button33");
    s.page(2);
    s.writeFile(QStringLiteral("three.txt"), "10000000-3\r\n01000000-0\r\n00100001-2\r\n");
    s.openFile(QStringLiteral("three.txt"));
    s.click("Button35"); // Pause while stopped: nothing
    s.click("Button34"); // Start
    s.ticks(2);
    s.click("Button35"); // Pause
    s.ticks(1);
    s.click("Button35"); // Resume
    s.ticks(10);
    s.click("CheckBox1"); // Repeat
    s.clickRow(1);
    s.click("Button34");
    s.ticks(9);
    s.slider(37);
    s.ticks(1);
    s.click("Button34"); // Stop
    s.saveFile(QStringLiteral("after"));
    compareWithGolden(QStringLiteral("sequencer"), s.finish());
}

void GoldenTest::programFiles() {
    Session s(1, 0x00);
    s.click("Button33");
    s.page(2);
    s.click("Button17");
    s.click("Button23");
    s.saveFile(QStringLiteral("prog"));
    s.openFile(QStringLiteral("missing.txt"));
    s.writeFile(QStringLiteral("odd.txt"), "01000001-12\r\r\n0101010\n\n20000000-1\r\n" +
                                               QByteArray(30, '1') + "\n00000000-007");
    s.openFile(QStringLiteral("odd.txt"));
    for (int row = 1; row < s.rig().grid().rowCount(); ++row)
        s.clickRow(row);
    s.clickRow(0);
    s.saveFile(QStringLiteral("odd-saved"));
    compareWithGolden(QStringLiteral("program-files"), s.finish());
}

void GoldenTest::boardFaults() {
    Session failedOpen(1, 0x00, [](RecordingDriver& d) { d.openSucceeds = false; });
    failedOpen.click("Button33");
    failedOpen.click("Button4");
    compareWithGolden(QStringLiteral("fault-open"), failedOpen.finish());

    Session failingWrites(1, 0x0F, [](RecordingDriver& d) { d.writesFail = true; });
    failingWrites.click("Button33");
    failingWrites.click("Button2");
    failingWrites.click("Button9");
    compareWithGolden(QStringLiteral("fault-writes"), failingWrites.finish());

    Session failingReads(1, 0x0F, [](RecordingDriver& d) { d.readsFail = true; });
    failingReads.click("Button33");
    failingReads.click("Button2");
    failingReads.page(2);
    failingReads.click("Button13");
    compareWithGolden(QStringLiteral("fault-reads"), failingReads.finish());
}

void GoldenTest::labelDialog() {
    Session s(1, 0x01);
    s.click("Button33");
    s.press("Button2", Qt::RightButton);
    s.editLabels(QStringLiteral("Pump on"), QStringLiteral("Pump off"), true);
    s.click("Button2");
    s.page(2);
    s.press("Button14", Qt::RightButton);
    s.closeDialog();
    s.press("Button14", Qt::MiddleButton);
    s.press("Button13", Qt::RightButton);
    s.editLabels(QString(), QStringLiteral("Fan"), false);
    s.click("Button13");
    s.closeWindow();
    compareWithGolden(QStringLiteral("label-dialog"), s.finish());
}

QTEST_MAIN(GoldenTest)
#include "test_golden.moc"
