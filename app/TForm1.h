#pragma once

#include "app/Colors.h"
#include "app/Guard.h"
#include "app/Platform.h"
#include "app/ProcessState.h"
#include "board/Driver.h"
#include "board/RelayMap.h"

#include <QWidget>

#include <array>
#include <exception>
#include <memory>
#include <string>

namespace Ui {
class TForm1;
}
class QLabel;
class TButton;
class TForm2;
class TPanel;
class TickTimer;

// The main window. Its controls carry much of the program's state (captions, lamp colours, step
// button positions, the program rows), and its member functions are the event handlers wired to
// them plus the operations those handlers share. The handlers are defined beside their subsystem:
// board/ for discovery, opening and port I/O, manual/ for the relay buttons, labels/ for the label
// table and the label dialog's preparation, timer/ for the step editor, program files and
// sequencer.
class TForm1 : public QWidget {
    Q_OBJECT
public:
    TForm1(ProcessState& state, board::Driver& driver, Platform& platform,
           QWidget* parent = nullptr);
    ~TForm1() override;

    void setLabelDialog(TForm2* dialog);
    Ui::TForm1& controls() { return *ui; }
    TickTimer& timer() { return *Timer1; }

    // ---- lifecycle
    void FormCreate();
    void FormClose();

    // ---- board list and opening
    void ComboBox1DropDown();
    void Button33Click();

    // ---- manual page
    void Button2Click();
    void Button3Click();
    void Button1Click();
    void Button4Click();
    void Button5Click();
    void Button6Click();
    void Button7Click();
    void Button8Click();
    void Button9Click();
    void Button10Click();

    // ---- label dialog preparation, on any mouse press on a relay or step button
    void Button2MouseDown(Qt::MouseButton button);
    void Button3MouseDown(Qt::MouseButton button);
    void Button1MouseDown(Qt::MouseButton button);
    void Button4MouseDown(Qt::MouseButton button);
    void Button5MouseDown(Qt::MouseButton button);
    void Button6MouseDown(Qt::MouseButton button);
    void Button7MouseDown(Qt::MouseButton button);
    void Button8MouseDown(Qt::MouseButton button);
    void Button11MouseDown(Qt::MouseButton button);
    void Button12MouseDown(Qt::MouseButton button);
    void Button13MouseDown(Qt::MouseButton button);
    void Button14MouseDown(Qt::MouseButton button);
    void Button15MouseDown(Qt::MouseButton button);
    void Button16MouseDown(Qt::MouseButton button);
    void Button17MouseDown(Qt::MouseButton button);
    void Button18MouseDown(Qt::MouseButton button);

    // ---- step editor
    void Button11Click();
    void Button12Click();
    void Button13Click();
    void Button14Click();
    void Button15Click();
    void Button16Click();
    void Button17Click();
    void Button18Click();
    void StringGrid4Click();
    void Button23Click(); // Add
    void Button21Click(); // Clear
    void Button22Click(); // Clear all

    // ---- program files
    void Button19Click(); // Open File
    void Button20Click(); // Save File

    // ---- sequencer
    void Button34Click(); // Start / Stop
    void Button35Click(); // Pause / Resume
    void Timer1Timer();
    void TrackBar1Change();
    void Edit9Change();
    void UpDown1Click();

    // ---- shared operations
    void discoverBoards();
    void readRelayByte();
    void writeRelayByte();
    void showBoardOnLamps();
    void sendLampsToBoard();
    void sendStepButtonsToBoard();

    void toggleRelay(int relay);
    void allRelaysOn();
    void allRelaysOff();
    void showCaptionsOnLamps();
    void showBoardOnCaptions();
    void copyRelayCaptionToStepButton(int relay);

    void loadLabels();
    void saveLabels();
    void prepareLabelDialog(int relay, Qt::MouseButton button);
    void storeEditedLabels(const QString& onText, const QString& offText);

    void showBoardOnStepButtons();
    void writeBoardPatternToCurrentRow();
    void showStepButtonsOnLamps();
    void composeCurrentRow();
    void applySelectedRow();

    // ---- the controls of one relay, through the relay map
    TPanel& lamp(int relay) const;
    TButton& relayButton(int relay) const;
    TButton& stepButton(int relay) const;
    QString onLabel(int relay) const;
    QString offLabel(int relay) const;

signals:
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    template <typename Sender, typename Signal, typename... Args>
    void wire(Sender* sender, Signal signal, void (TForm1::*handler)(Args...));
    template <typename Body> void handle(Body&& body);
    void wireEvents();
    void resolveRelayControls();
    void applyFonts();

    static int relayOf(const QObject& button);
    void keepReadoutBesideItsLabel();
    void setStatusPanel(bool found);
    void noteBoardStatus(board::Status status);
    void manualClickSequence(int relay);
    void manualAllSequence(bool on);
    void settleAndReadBack();
    void stepClick(int relay);
    void setStepButtonOn(int relay, bool on);
    int timerValue() const;
    void setTimerValue(int value);
    void startProgram();
    void stopProgram();
    void runTick();
    std::string currentRowText() const;
    void setCurrentRowText(const std::string& text);

    std::unique_ptr<Ui::TForm1> ui;
    ProcessState& state_;
    board::Driver& driver_;
    Platform& platform_;
    TForm2* labelDialog_ = nullptr;
    TickTimer* Timer1 = nullptr;
    int handlerDepth_ = 0;
    bool inTick_ = false;
    std::exception_ptr tickFailure_; // the first failure of the tick that is running
    bool boardLost_ = false;         // a read or write failed since the last open

    struct RelayControls {
        TPanel* lamp = nullptr;
        TButton* relayButton = nullptr;
        TButton* stepButton = nullptr;
    };
    std::array<RelayControls, board::kRelayCount> relays_{};
};
