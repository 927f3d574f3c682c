// The manual click sequence: two writes 50 ms apart, two reads, and what the captions decide.
#include "support/WindowRig.h"

#include <QtTest>

class ManualTest : public QObject {
    Q_OBJECT
private slots:
    void relayClickSwitchesByCaptionAndWritesTwice();
    void allOnAndAllOffIgnoreWhatWasThere();
    void firstClickAfterStartupSwitchesOthersOn();
    void identicalLabelsCannotStayOn();
    void staleCaptionAfterRenameCountsAsOn();
    void captionComparisonIsExact();
};

void ManualTest::relayClickSwitchesByCaptionAndWritesTwice() {
    Rig rig(1);
    rig.openBoard(0x00);
    rig.form1->RelayButtonClick(3); // relay 3
    QCOMPARE(rig.take(), (Log{"write 04", "pause 50", "write 04", "read", "read"}));
    QCOMPARE(rig.button("Button1")->caption(), QStringLiteral("Relay 3 OFF"));
    QCOMPARE(rig.form1->lamp(3).color(), clLime);
    QCOMPARE(rig.button("Button16")->caption(), QStringLiteral("Relay 3 OFF"));
    QCOMPARE(rig.button("Button16")->top(), 32);
    QCOMPARE(rig.grid().cell(0), QStringLiteral("00100000-0"));
    // A second click switches it back.
    rig.form1->RelayButtonClick(3);
    QCOMPARE(rig.take(), (Log{"write 00", "pause 50", "write 00", "read", "read"}));
    QCOMPARE(rig.button("Button1")->caption(), QStringLiteral("Relay 3 ON"));
    QCOMPARE(rig.form1->lamp(3).color(), clRed);
    QCOMPARE(rig.grid().cell(0), QStringLiteral("00000000-0"));
}

void ManualTest::allOnAndAllOffIgnoreWhatWasThere() {
    Rig rig(1);
    rig.openBoard(0x5A);
    const QString stepCaption = rig.button("Button18")->caption();
    rig.form1->Button9Click();
    QCOMPARE(rig.take(), (Log{"write ff", "pause 50", "write ff", "read", "read"}));
    verifyRelayViews(rig, 0xFF);
    verifyStepButtons(rig, 0xFF);
    QCOMPARE(rig.button("Button18")->caption(), stepCaption); // step captions are not copied
    QCOMPARE(rig.grid().cell(0), QStringLiteral("11111111-0"));
    rig.form1->Button10Click();
    QCOMPARE(rig.take(), (Log{"write 00", "pause 50", "write 00", "read", "read"}));
    verifyRelayViews(rig, 0x00);
    verifyStepButtons(rig, 0x00);
}

// Every caption starts as an OFF label, so the first click turns its relay off and, through the
// lamps, all the others on.
void ManualTest::firstClickAfterStartupSwitchesOthersOn() {
    Rig rig(1);
    // The board reads all on for the captions and off for everything else, so every caption is
    // an OFF label while the relay byte is 0, as at start-up.
    rig.driver.scriptedReads = {0xFF, 0x00, 0x00, 0x00};
    rig.openBoard(0x00);
    rig.form1->RelayButtonClick(1);
    QCOMPARE(rig.take(), (Log{"write 00", "pause 50", "write fe", "read", "read"}));
    QCOMPARE(rig.form1->lamp(1).color(), clRed);
    QCOMPARE(rig.form1->lamp(2).color(), clLime);
    QCOMPARE(rig.grid().cell(0), QStringLiteral("01111111-0"));

    // With no board opened at all, the writes go nowhere and the views follow the byte.
    Rig noBoard;
    noBoard.take();
    noBoard.form1->RelayButtonClick(1);
    QCOMPARE(noBoard.take(), (Log{"write 00", "pause 50", "write fe", "read", "read"}));
    QCOMPARE(noBoard.state().relayByte, 0xFE);
    QCOMPARE(noBoard.grid().cell(0), QStringLiteral("01111111-0"));
}

void ManualTest::identicalLabelsCannotStayOn() {
    Rig rig(1);
    rig.renameRelay(1, "Same", "Same");
    rig.openBoard(0x00);
    rig.form1->RelayButtonClick(1);
    QCOMPARE(rig.take(), (Log{"write 01", "pause 50", "write 00", "read", "read"}));
    QCOMPARE(rig.form1->lamp(1).color(), clRed);
}

void ManualTest::staleCaptionAfterRenameCountsAsOn() {
    Rig rig(1);
    rig.openBoard(0x00);
    rig.renameRelay(2, "Pump", "Relay 2 OFF"); // Button3 still shows the old ON label
    rig.form1->RelayButtonClick(1);
    QCOMPARE(rig.take(), (Log{"write 01", "pause 50", "write 03", "read", "read"}));
    QCOMPARE(rig.form1->lamp(2).color(), clLime);
    rig.form1->RelayButtonClick(
        2); // the stale caption counts as on: the click switches relay 2 off
    QCOMPARE(rig.take(), (Log{"write 01", "pause 50", "write 01", "read", "read"}));
    QCOMPARE(rig.button("Button3")->caption(), QStringLiteral("Pump"));
    QCOMPARE(rig.button("Button17")->caption(), QStringLiteral("Pump"));
}

void ManualTest::captionComparisonIsExact() {
    Rig rig(1);
    rig.openBoard(0x00);
    const auto renameOnLabel = [&](int relay, const char* on) {
        rig.act([&] {
            const model::RelayLabels labels = rig.model.pickRelayForLabels(relay);
            rig.model.storeEditedLabels({QString::fromLatin1(on), labels.off});
        });
    };
    renameOnLabel(3, "A&B");
    rig.form1->Button10Click(); // ALL OFF: every caption is its ON label
    renameOnLabel(1, "relay 1 on");
    renameOnLabel(2, "Relay 2 ON ");
    rig.form1->RelayButtonClick(4); // the lamps follow the captions
    QCOMPARE(rig.form1->lamp(1).color(), clLime);
    QCOMPARE(rig.form1->lamp(2).color(), clLime);
    QCOMPARE(rig.form1->lamp(3).color(), clRed); // '&' is part of the caption, not a mnemonic
}

QTEST_MAIN(ManualTest)
#include "test_manual.moc"
