#include "support/WindowRig.h"

#include "model/ProgramRows.h"

#include <QTest>

void RecordingPlatform::pause(int milliseconds) {
    log_.push_back("pause " + std::to_string(milliseconds));
    if (duringPause)
        duringPause();
}

QString RecordingPlatform::askOpenFileName(QWidget*) {
    if (duringOpenDialog)
        duringOpenDialog();
    return nextOpenName;
}

QString RecordingPlatform::askSaveFileName(QWidget*, const QString& initialName) {
    lastSaveInitialName = initialName;
    return nextSaveName;
}

void RecordingPlatform::showError(QWidget*, const QString& message) {
    errors << message;
    if (duringError)
        duringError();
}

Rig::Rig(std::uint32_t devices, std::function<void(RecordingDriver&)> before,
         engine::Sequencer::Mode mode, devices::OptionsById options)
    : driver(log)
    , boards(driver, std::move(options))
    , platform(log)
    , model(boards.registry, platform) {
    driver.devices = devices;
    if (before)
        before(driver);
    sequencer = std::make_unique<engine::Sequencer>(model, mode);
    form1 = std::make_unique<TForm1>(model, *sequencer, platform);
    form2 = std::make_unique<TForm2>(platform);
    form1->setLabelDialog(form2.get());
}

Rig::~Rig() {
    form1.reset();
    form2.reset();
    sequencer.reset();
}

Log Rig::take() {
    Log taken;
    taken.swap(log);
    return taken;
}

void Rig::openBoard(std::uint8_t pins) {
    driver.pins = pins;
    form1->Button33Click();
    log.clear();
}

void Rig::setRows(const std::vector<std::string>& rows) {
    act([&] { model.loadProgram(programRows(rows)); });
}

void Rig::renameRelay(int relay, const char* on, const char* off) {
    const Log before = log;
    act([&] {
        model.pickRelayForLabels(relay);
        model.storeEditedLabels({QString::fromLatin1(on), QString::fromLatin1(off)});
    });
    log = before;
}

void verifyRelayViews(const Rig& rig, std::uint8_t byte) {
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        const bool on = byte & entry.mask;
        QCOMPARE(rig.form1->lamp(entry.relay).color(), on ? clLime : clRed);
        QCOMPARE(rig.form1->relayButton(entry.relay).caption(),
                 on ? rig.offLabel(entry.relay) : rig.onLabel(entry.relay));
    }
}

void verifyStepButtons(const Rig& rig, std::uint8_t byte) {
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        QCOMPARE(rig.form1->stepButton(entry.relay).top(), (byte & entry.mask) ? 32 : 112);
}

std::vector<QString> gridRows(const StringGrid& grid) {
    std::vector<QString> rows;
    for (int row = 0; row < grid.rowCount(); ++row)
        rows.push_back(grid.cell(row));
    return rows;
}
