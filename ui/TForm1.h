#pragma once

#include "engine/Sequencer.h"
#include "model/Model.h"
#include "share/Holder.h"
#include "ui/Colors.h"
#include "ui/Platform.h"

#include <QTimer>
#include <QWidget>

#include <atomic>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

namespace Ui {
class TForm1;
}
class TButton;
class TForm2;
class TPanel;

// The main window: it renders the model and turns the events of its controls into the model's
// operations. The handlers below are the controls' events; the wiring table in wireEvents() pairs
// each control's signal with one of them. Every handler runs under the model's lock, and the
// window shows the state it left, and then its failures in message boxes, once the lock is free.
// It keeps the last snapshot it showed, and nothing else of the model's.
// While a program runs, the window follows the sequencer at most about 60 times a second.
class TForm1 : public QWidget {
    Q_OBJECT
public:
    TForm1(model::Model& model, engine::Sequencer& sequencer, Platform& platform,
           QWidget* parent = nullptr);
    ~TForm1() override;

    void setLabelDialog(TForm2* dialog);
    Ui::TForm1& controls() { return *ui; }
    model::Model& model() { return model_; }

    // ---- the controls' events
    void ComboBox1DropDown();
    void ComboBox1Change();
    void Button33Click();
    void RelayButtonClick(int relay);                        // Button1..Button8
    void Button9Click();                                     // ALL ON
    void Button10Click();                                    // ALL OFF
    void ButtonMouseDown(int relay, Qt::MouseButton button); // relay and step buttons
    void StepButtonClick(int relay);                         // Button11..Button18
    void StringGrid4Click(int row);
    void StringGrid4Select(int row);
    void Button23Click(); // Add
    void Button21Click(); // Clear
    void Button22Click(); // Clear all
    void Button19Click(); // Open File
    void Button20Click(); // Save File
    void Button34Click(); // Start / Stop
    void Button35Click(); // Pause / Resume
    void TrackBar1Change(int resolution);
    void Edit9Change(const QString& text);
    void UpDown1Click(int delta);
    void CheckBox1Click(bool checked);
    void Timer1Timer(); // a tick delivered by hand; the sequencer's thread delivers the others
    void storeEditedLabels(const model::RelayLabels& edited);

    // Runs one action under the model's lock and the guard, then shows the state it left.
    void act(const std::function<void()>& action);
    // Runs a client's operation on the board this window holds, on the window's thread as an
    // action runs, and throws its failure back to the client instead of showing it.
    void runForClient(const std::function<void()>& operation);
    // Runs the client operations waiting for the window's thread, unless a user's handler is
    // under way (its dialog's or message box's own event loop may have called this): they then
    // run once the outermost handler has ended.
    Q_INVOKABLE void runClientCalls();
    // Shows the model's state on every control.
    void render();

    // ---- the controls of one relay, through the relay map
    TPanel& lamp(int relay) const;
    TButton& relayButton(int relay) const;
    TButton& stepButton(int relay) const;

signals:
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Marks a user's handler as under way for its whole run, its dialogs and message boxes
    // included; client calls that came meanwhile run when the outermost one ends.
    class HandlerUnderWay {
    public:
        explicit HandlerUnderWay(TForm1& form);
        ~HandlerUnderWay();
        HandlerUnderWay(const HandlerUnderWay&) = delete;
        HandlerUnderWay& operator=(const HandlerUnderWay&) = delete;

    private:
        TForm1& form_;
    };

    void wireEvents();
    void resolveRelayControls();
    void applyFonts();
    void keepReadoutBesideItsLabel();
    void onTick(std::exception_ptr failure, bool timerEnabled);
    void followRun();
    void renderRelays(const model::Snapshot& shown);
    void renderBoardList(const model::Snapshot& shown);
    void renderProgram(const model::Snapshot& shown);
    void serveOpenedBoard(const model::Snapshot& shown);
    void stopServing();

    std::unique_ptr<Ui::TForm1> ui;
    model::Model& model_;
    engine::Sequencer& sequencer_;
    Platform& platform_;
    TForm2* labelDialog_ = nullptr;
    QTimer* frameTimer_ = nullptr; // repaints while a program runs
    std::atomic<bool> ticked_{false};
    std::atomic<bool> runFailed_{false};
    std::mutex runFailureLock_;
    std::exception_ptr runFailure_;                // under runFailureLock_
    std::shared_ptr<const model::Snapshot> shown_; // the state last rendered
    std::unique_ptr<service::Executor> executor_;  // clients' commands, on this window's thread
    std::unique_ptr<share::BoardServer> server_;   // serves the board this window holds
    // A client's operation on its way to the window's thread, and how it went.
    struct ClientCall {
        std::mutex lock;
        const std::function<void()>* operation = nullptr;
        bool started = false;
        bool cancelled = false;
        std::exception_ptr failure;
        std::promise<void> done;
    };
    std::mutex clientCallsLock_;
    std::deque<std::shared_ptr<ClientCall>> clientCalls_; // under clientCallsLock_
    std::string serverId_;
    std::atomic<bool> closing_{false};                    // client operations are refused
    std::vector<std::exception_ptr>* failures_ = nullptr; // of the action under way, if any
    int handlersUnderWay_ = 0;
    std::uint64_t rowsVersionShown_ = ~std::uint64_t{0};

    struct RelayControls {
        TPanel* lamp = nullptr;
        TButton* relayButton = nullptr;
        TButton* stepButton = nullptr;
    };
    std::array<RelayControls, devices::kRelayCount> relays_{};
};
