#pragma once

// Fakes and a fixture shared by the window suites: a driver and a platform that record every call
// into one log, so a test can assert the exact order of board traffic and pauses.

#include "RecordingDriver.h"
#include "engine/Sequencer.h"
#include "model/Latin1.h"
#include "model/Model.h"
#include "ui/Controls.h"
#include "ui/Platform.h"
#include "ui/TForm1.h"
#include "ui/TForm2.h"

#include <QDir>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

class RecordingPlatform final : public Platform {
public:
    explicit RecordingPlatform(Log& log)
        : log_(log) {}

    QStringList errors;
    QString nextOpenName;
    QString nextSaveName;
    QString lastSaveInitialName;
    std::function<void()> duringPause;
    std::function<void()> duringError;      // while the message box would be open
    std::function<void()> duringOpenDialog; // while the file dialog would be open

    void pause(int milliseconds) override {
        log_.push_back("pause " + std::to_string(milliseconds));
        if (duringPause)
            duringPause();
    }
    QString askOpenFileName(QWidget*) override {
        if (duringOpenDialog)
            duringOpenDialog();
        return nextOpenName;
    }
    QString askSaveFileName(QWidget*, const QString& initialName) override {
        lastSaveInitialName = initialName;
        return nextSaveName;
    }
    void showError(QWidget*, const QString& message) override {
        errors << message;
        if (duringError)
            duringError();
    }

private:
    Log& log_;
};

// A fresh folder that is the working directory while it lives, so labels.dat starts absent.
class WorkingFolder {
public:
    WorkingFolder()
        : previous_(QDir::currentPath()) {
        QDir::setCurrent(dir_.path());
        // A window that opens a board serves it on a socket here, apart from every other test's.
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir_.path()));
    }
    ~WorkingFolder() { QDir::setCurrent(previous_); }
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;
    QString path(const QString& name) const { return dir_.filePath(name); }

private:
    QTemporaryDir dir_;
    QString previous_;
};

// The main window over any boards, with its model and a sequencer that keeps real time.
struct MainWindow {
    MainWindow(devices::Registry& boards, Platform& platform,
               engine::Sequencer::Mode mode = engine::Sequencer::Mode::Threaded)
        : model(boards, platform)
        , sequencer(model, mode)
        , form(model, sequencer, platform) {}
    model::Model model;
    engine::Sequencer sequencer;
    TForm1 form;
};

// Both windows on a recording driver, in a fresh working directory so labels.dat starts absent.
// Ticks fall only when a test delivers them, unless the rig is given a threaded sequencer.
class Rig {
public:
    explicit Rig(std::uint32_t devices = 0, std::function<void(RecordingDriver&)> before = {},
                 engine::Sequencer::Mode mode = engine::Sequencer::Mode::Manual)
        : driver(log)
        , boards(driver)
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
    ~Rig() {
        form1.reset();
        form2.reset();
        sequencer.reset();
    }

    template <typename T> T* control(const char* name) const {
        T* found = form1->findChild<T*>(QString::fromLatin1(name));
        if (!found)
            found = form2->findChild<T*>(QString::fromLatin1(name));
        return found;
    }
    TButton* button(const char* name) const { return control<TButton>(name); }
    StringGrid& grid() const { return *control<StringGrid>("StringGrid4"); }
    QString path(const QString& name) const { return folder_.path(name); }
    // The log since the last call.
    Log take() {
        Log taken;
        taken.swap(log);
        return taken;
    }
    void openBoard(std::uint8_t pins) {
        driver.pins = pins;
        form1->Button33Click();
        log.clear();
    }
    // Runs a model operation as a user action would, and shows its result.
    void act(const std::function<void()>& action) { form1->act(action); }
    // The program list as code sets it up for a test: these rows, row 0 current, nothing applied.
    void setRows(const std::vector<std::string>& rows) {
        act([&] { model.loadProgram(programRows(rows)); });
    }
    // A row made current as by the keyboard: applied when it was not current.
    void selectRow(int row) { form1->StringGrid4Select(row); }
    void tick() { sequencer->tickNow(); }
    // New labels for a relay, as the label dialog gives them; the log is left as it was.
    void renameRelay(int relay, const char* on, const char* off) {
        const Log before = log;
        act([&] {
            model.pickRelayForLabels(relay);
            model.storeEditedLabels({QString::fromLatin1(on), QString::fromLatin1(off)});
        });
        log = before;
    }
    // The model's state as last published.
    model::Snapshot state() const { return *model.snapshot(); }
    QString onLabel(int relay) const { return latin1::text(state().onLabel(relay)); }
    QString offLabel(int relay) const { return latin1::text(state().offLabel(relay)); }
    devices::ftdi::Handle boardHandle() const { return driver.lastOpened; }

private:
    WorkingFolder folder_;

public:
    Log log;
    RecordingDriver driver;
    FtdiBoards boards;
    RecordingPlatform platform;
    model::Model model;
    std::unique_ptr<engine::Sequencer> sequencer;
    std::unique_ptr<TForm1> form1;
    std::unique_ptr<TForm2> form2;
};

// The lamps and relay buttons show `byte`: a set bit is a lime lamp and the relay's OFF label.
inline void verifyRelayViews(const Rig& rig, std::uint8_t byte) {
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        const bool on = byte & entry.mask;
        QCOMPARE(rig.form1->lamp(entry.relay).color(), on ? clLime : clRed);
        QCOMPARE(rig.form1->relayButton(entry.relay).caption(),
                 on ? rig.offLabel(entry.relay) : rig.onLabel(entry.relay));
    }
}

// The step buttons stand raised exactly for the set bits of `byte`.
inline void verifyStepButtons(const Rig& rig, std::uint8_t byte) {
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        QCOMPARE(rig.form1->stepButton(entry.relay).top(), (byte & entry.mask) ? 32 : 112);
}

inline std::vector<QString> gridRows(const StringGrid& grid) {
    std::vector<QString> rows;
    for (int row = 0; row < grid.rowCount(); ++row)
        rows.push_back(grid.cell(row));
    return rows;
}
