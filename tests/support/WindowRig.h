#pragma once

// The window suites' rigs: a platform that records its pauses into the log the recording driver
// writes, so a test can assert the exact order of board traffic and pauses, and the windows on
// it.

#include "engine/Sequencer.h"
#include "model/Latin1.h"
#include "model/Model.h"
#include "support/Boards.h"
#include "support/Files.h"
#include "ui/Controls.h"
#include "ui/Platform.h"
#include "ui/TForm1.h"
#include "ui/TForm2.h"

#include <QStringList>

#include <functional>
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

    void pause(int milliseconds) override;
    QString askOpenFileName(QWidget*) override;
    QString askSaveFileName(QWidget*, const QString& initialName) override;
    void showError(QWidget*, const QString& message) override;

private:
    Log& log_;
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
    // The boards' options as boards.conf would give them, by id ("board1").
    explicit Rig(std::uint32_t devices = 0, std::function<void(RecordingDriver&)> before = {},
                 engine::Sequencer::Mode mode = engine::Sequencer::Mode::Manual,
                 devices::OptionsById options = {});
    ~Rig();

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
    Log take();
    void openBoard(std::uint8_t pins);
    // Runs a model operation as a user action would, and shows its result.
    void act(const std::function<void()>& action) { form1->act(action); }
    // The program list as code sets it up for a test: these rows, row 0 current, nothing applied.
    void setRows(const std::vector<std::string>& rows);
    // A row made current as by the keyboard: applied when it was not current.
    void selectRow(int row) { form1->StringGrid4Select(row); }
    void tick() { sequencer->tickNow(); }
    // New labels for a relay, as the label dialog gives them; the log is left as it was.
    void renameRelay(int relay, const char* on, const char* off);
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
void verifyRelayViews(const Rig& rig, std::uint8_t byte);

// The step buttons stand raised exactly for the set bits of `byte`.
void verifyStepButtons(const Rig& rig, std::uint8_t byte);

std::vector<QString> gridRows(const StringGrid& grid);
