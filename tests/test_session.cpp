// A whole session as a user would run it, on a simulated board and the real timer: open the
// board, click relays and step buttons, play a program, save and reopen it, rename a relay, close.
// Under the sanitizer build LeakSanitizer checks that nothing of it leaks.
#include "support/WindowRig.h"

#include "model/LabelFile.h"
#include "ui_TForm1.h"
#include "ui_TForm2.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QToolButton>
#include <QtTest>

class SessionTest : public QObject {
    Q_OBJECT
private slots:
    void wholeSession();
};

void SessionTest::wholeSession() {
    const WorkingFolder folder;
    {
        Log log;
        RecordingPlatform platform(log);
        SimulatedBoards boards(2);
        MainWindow window(boards.registry(), platform);
        TForm1& form1 = window.form;
        TForm2 form2(platform);
        form1.setLabelDialog(&form2);
        form1.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form1));
        Ui::TForm1& ui = form1.controls();

        ui.ComboBox1->setCurrentIndex(1);
        QTest::mouseClick(ui.Button33, Qt::LeftButton);
        QCOMPARE(ui.Panel27->text(), QStringLiteral("Board found !"));
        QTest::mouseClick(ui.Button2, Qt::LeftButton);
        QTest::mouseClick(ui.Button9, Qt::LeftButton);
        QTest::mouseClick(ui.Button10, Qt::LeftButton);
        ui.TabbedNotebook1->setCurrentIndex(2);
        QTest::mouseClick(ui.Button18, Qt::LeftButton);
        QTest::mouseClick(ui.Button23, Qt::LeftButton);
        QTest::mouseClick(ui.Button15, Qt::LeftButton);
        QTest::mouseClick(ui.UpDown1->findChild<QToolButton*>(QStringLiteral("up")),
                          Qt::LeftButton);
        QTest::mouseClick(ui.UpDown1->findChild<QToolButton*>(QStringLiteral("up")),
                          Qt::LeftButton);
        QTest::mouseClick(ui.UpDown1->findChild<QToolButton*>(QStringLiteral("up")),
                          Qt::LeftButton);
        QTest::mouseClick(ui.Button23, Qt::LeftButton);
        QCOMPARE(ui.StringGrid4->rowCount(), 3);

        QTest::mouseClick(ui.Button34, Qt::LeftButton); // Start, at 1 ms
        QTRY_COMPARE_WITH_TIMEOUT(ui.Button34->caption(), QStringLiteral("Start"), 5000);
        QCOMPARE(boards.boards().relays(1), 0x09); // the last step's pattern

        platform.nextSaveName = folder.path(QStringLiteral("session"));
        QTest::mouseClick(ui.Button20, Qt::LeftButton);
        QTest::mouseClick(ui.Button22, Qt::LeftButton);
        platform.nextOpenName = folder.path(QStringLiteral("session.txt"));
        QTest::mouseClick(ui.Button19, Qt::LeftButton);
        QCOMPARE(ui.StringGrid4->rowCount(), 3);

        QTest::mousePress(ui.Button14, Qt::RightButton);
        QVERIFY(form2.isVisible());
        form2.controls().Edit1->setText(QStringLiteral("Pump"));
        QTest::mouseClick(form2.controls().Button1, Qt::LeftButton);
        form1.close();
        QVERIFY(platform.errors.isEmpty());
    }
    QCOMPARE(labels::readLabelsFile(folder.path(QStringLiteral("labels.dat")))[4],
             std::string("Pump"));
}

QTEST_MAIN(SessionTest)
#include "test_session.moc"
