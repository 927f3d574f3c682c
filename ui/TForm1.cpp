#include "ui/TForm1.h"

#include "model/Latin1.h"
#include "ui/BoardList.h"
#include "ui/Controls.h"
#include "ui/Guard.h"
#include "ui/TForm2.h"
#include "ui_TForm1.h"

#include <QCloseEvent>
#include <QFile>
#include <QFont>
#include <QLabel>
#include <QSignalBlocker>
#include <QTimer>

#include <QThread>

#include <algorithm>
#include <chrono>
#include <future>
#include <mutex>
#include <utility>

namespace {

constexpr int kFrameIntervalMs = 17; // at most about 60 repaints a second while a program runs
// While a program steps faster than that on a sequencer without real-time scheduling, which
// shares the processors with this thread: each repaint (and the display server's work for it)
// can hold a step's wake-up back, and nobody follows steps that fast.
constexpr int kOrdinaryFastFrameIntervalMs = 50;

// How often the window follows a run.
int frameIntervalFor(const model::Snapshot& shown, bool realTime) {
    return !realTime && shown.resolution < kFrameIntervalMs ? kOrdinaryFastFrameIntervalMs
                                                            : kFrameIntervalMs;
}

// A step button shows its relay's state by its height on the page.
constexpr int kStepOnTop = 32;
constexpr int kStepOffTop = 112;

// Each relay's lamp, button on "Manual Mode" and step button on "Timer Mode", relay 1 first.
struct RelayControlNames {
    const char* lamp;
    const char* relayButton;
    const char* stepButton;
};
constexpr std::array<RelayControlNames, devices::kRelayCount> kRelayControlNames{{
    {"Panel10", "Button2", "Button18"},
    {"Panel9", "Button3", "Button17"},
    {"Panel8", "Button1", "Button16"},
    {"Panel7", "Button4", "Button15"},
    {"Panel6", "Button5", "Button14"},
    {"Panel5", "Button6", "Button13"},
    {"Panel4", "Button7", "Button12"},
    {"Panel3", "Button8", "Button11"},
}};

QString startCaption(model::Run run) {
    return run == model::Run::Idle ? QStringLiteral("Start") : QStringLiteral("Stop");
}

QString pauseCaption(model::Run run) {
    return run == model::Run::Paused ? QStringLiteral("Resume") : QStringLiteral("Pause");
}

TColor lampColor(model::Lamp lamp) {
    switch (lamp) {
    case model::Lamp::On:
        return clLime;
    case model::Lamp::Off:
        return clRed;
    case model::Lamp::Uncoloured:
        break;
    }
    return clBtnFace;
}

} // namespace

TForm1::TForm1(model::Model& model, engine::Sequencer& sequencer, Platform& platform,
               QWidget* parent)
    : QWidget(parent)
    , ui(std::make_unique<Ui::TForm1>())
    , model_(model)
    , sequencer_(sequencer)
    , platform_(platform) {
    ui->setupUi(this);
    move(326, 101);
    setFixedSize(785, 413);
    setWindowIcon(programIcon());
    FormStyle::apply(*this, *ui->TabbedNotebook1);
    resolveRelayControls();
    applyFonts();
    // The grid paints the rows of the state last shown, read without the model's lock.
    ui->StringGrid4->setRowSource([this](int row) {
        return shown_ && row < shown_->rowCount() ? std::string(shown_->rowText(row))
                                                  : std::string();
    });
    frameTimer_ = new QTimer(this);
    frameTimer_->setInterval(kFrameIntervalMs);
    connect(frameTimer_, &QTimer::timeout, this, &TForm1::followRun);
    model_.setFailureSink([this](std::exception_ptr failure) {
        if (failures_)
            failures_->push_back(failure);
        else
            reportHandlerFailure(platform_, this, failure);
    });
    sequencer_.setTickObserver(
        [this](std::exception_ptr failure, bool enabled) { onTick(failure, enabled); });
    wireEvents();
    act([this] { model_.create(); });
}

TForm1::~TForm1() {
    stopServing();
    sequencer_.setTickObserver({});
    model_.setFailureSink({});
}

void TForm1::applyFonts() {
    // The form's font is not found on Linux; a metric-compatible sans keeps captions within the
    // control sizes the form gives.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                                QStringLiteral("DejaVu Sans")});
    QFont windowFont(QStringLiteral("MS Sans Serif"));
    windowFont.setPixelSize(11);
    setFont(windowFont);
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        QFont stepFont = windowFont;
        stepFont.setPixelSize(10);
        stepFont.setBold(entry.relay == 1);
        stepButton(entry.relay).setFont(stepFont);
    }
    // Text labels size themselves to their text, keeping their place.
    for (QLabel* label : findChildren<QLabel*>())
        fitLabelToText(*label);
    keepReadoutBesideItsLabel();
    QFont gridFont(QStringLiteral("MS Sans Serif"));
    gridFont.setPixelSize(15);
    gridFont.setBold(true);
    ui->StringGrid4->setFont(gridFont);
    QPalette gridPalette = ui->StringGrid4->palette();
    gridPalette.setColor(QPalette::Base, gridPalette.color(QPalette::Button));
    gridPalette.setColor(QPalette::Text, Qt::black);
    ui->StringGrid4->setPalette(gridPalette);
}

void TForm1::resolveRelayControls() {
    for (std::size_t i = 0; i < relays_.size(); ++i) {
        const RelayControlNames& names = kRelayControlNames.at(i);
        RelayControls& controls = relays_.at(i);
        controls.lamp = findChild<TPanel*>(QLatin1String(names.lamp));
        controls.relayButton = findChild<TButton*>(QLatin1String(names.relayButton));
        controls.stepButton = findChild<TButton*>(QLatin1String(names.stepButton));
        Q_ASSERT(controls.lamp && controls.relayButton && controls.stepButton);
    }
}

TPanel& TForm1::lamp(int relay) const {
    return *relays_.at(static_cast<std::size_t>(relay - 1)).lamp;
}
TButton& TForm1::relayButton(int relay) const {
    return *relays_.at(static_cast<std::size_t>(relay - 1)).relayButton;
}
TButton& TForm1::stepButton(int relay) const {
    return *relays_.at(static_cast<std::size_t>(relay - 1)).stepButton;
}

// "Timer resolution, ms" is wider in this font than the form allows for; its readout moves right
// of it rather than covering its last letters.
void TForm1::keepReadoutBesideItsLabel() {
    constexpr int kGap = 3;
    const int labelEnd = ui->Label4->x() + ui->Label4->width();
    if (ui->Label5->x() < labelEnd + kGap)
        ui->Label5->move(labelEnd + kGap, ui->Label5->y());
}

// ---- the guard and the sequencer's reports ------------------------------------------------------

// The model's lock is held for the whole action, its pauses and file dialogs included, so a tick
// that falls due meanwhile waits for it. A failure stops the action where it happened; what the
// action had changed stays changed. The result is shown once the lock is free, and only then
// the failures, each in its own message box, so that a box left open holds up no tick and the
// window behind it shows what the action left. An action run inside another (the label dialog's)
// leaves both to the outer one.
void TForm1::act(const std::function<void()>& action) {
    const HandlerUnderWay handler(*this);
    if (failures_) {
        try {
            action();
        } catch (...) {
            failures_->push_back(std::current_exception());
        }
        return;
    }
    std::vector<std::exception_ptr> failures;
    {
        const model::Model::Lock lock = model_.lockForAction();
        failures_ = &failures;
        try {
            action();
        } catch (...) {
            failures.push_back(std::current_exception());
        }
        failures_ = nullptr;
    }
    render();
    for (const std::exception_ptr& failure : failures)
        reportHandlerFailure(platform_, this, failure);
}

// The client's thread waits for the window's, but gives up once the window closes, so that the
// window never waits for a client that waits for it.
void TForm1::runForClient(const std::function<void()>& operation) {
    if (thread() == QThread::currentThread()) {
        std::vector<std::exception_ptr> failures;
        {
            const model::Model::Lock lock = model_.lockForAction();
            std::vector<std::exception_ptr>* const outer = std::exchange(failures_, &failures);
            try {
                operation();
            } catch (...) {
                failures.push_back(std::current_exception());
            }
            failures_ = outer;
        }
        render();
        if (!failures.empty())
            std::rethrow_exception(failures.front());
        return;
    }
    // The call goes through a queue of the window's own, under a lock of its own, rather than in
    // the posted event, so that everything the client's thread wrote before is seen by the
    // window's; the posted event only wakes the window.
    const auto call = std::make_shared<ClientCall>();
    call->operation = &operation;
    std::future<void> done = call->done.get_future();
    {
        const std::lock_guard lock(clientCallsLock_);
        clientCalls_.push_back(call);
    }
    QMetaObject::invokeMethod(this, "runClientCalls", Qt::QueuedConnection);
    while (done.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
        if (!closing_)
            continue;
        const std::lock_guard lock(call->lock);
        if (!call->started) {
            call->cancelled = true;
            throw std::runtime_error("the window is closing");
        }
    }
    const std::lock_guard lock(call->lock);
    if (call->failure)
        std::rethrow_exception(call->failure);
}

TForm1::HandlerUnderWay::HandlerUnderWay(TForm1& form)
    : form_(form) {
    ++form_.handlersUnderWay_;
}

TForm1::HandlerUnderWay::~HandlerUnderWay() {
    if (--form_.handlersUnderWay_ == 0)
        form_.runClientCalls();
}

// A client's call never runs inside a user's handler: it would change the state under the
// handler's feet, and its answer would be read before the handler's lock let the new state out.
void TForm1::runClientCalls() {
    if (handlersUnderWay_ > 0)
        return;
    for (;;) {
        std::shared_ptr<ClientCall> call;
        {
            const std::lock_guard lock(clientCallsLock_);
            if (clientCalls_.empty())
                return;
            call = clientCalls_.front();
            clientCalls_.pop_front();
        }
        const std::lock_guard lock(call->lock);
        if (call->cancelled)
            continue;
        call->started = true;
        try {
            runForClient(*call->operation);
        } catch (...) {
            call->failure = std::current_exception();
        }
        call->done.set_value();
    }
}

// While this window holds a board, it serves it to scripts.
void TForm1::serveOpenedBoard(const model::Snapshot& shown) {
    if (closing_ || shown.boardId.empty() || (server_ && serverId_ == shown.boardId))
        return;
    stopServing();
    closing_ = false;
    serverId_ = shown.boardId;
    // Clients' commands run on this window's thread, as its own handlers do.
    executor_ = std::make_unique<service::Executor>(
        model_, service::Holder{serverId_, "window"},
        [this](const std::function<void()>& operation) { runForClient(operation); },
        model_.boardOptions(serverId_));
    // A board another holder serves already (a second window on it) is not served from here.
    std::variant<std::unique_ptr<share::BoardServer>, std::string> made =
        share::BoardServer::make(*executor_);
    if (auto* server = std::get_if<std::unique_ptr<share::BoardServer>>(&made))
        server_ = std::move(*server);
}

void TForm1::stopServing() {
    closing_ = true;
    server_.reset();
    executor_.reset();
    serverId_.clear();
}

// Runs on the thread that ran the tick, so it only takes note: the frame timer shows what the
// ticks did, and a failure that stopped the run, on the window's thread.
void TForm1::onTick(std::exception_ptr failure, bool) {
    if (failure) {
        const std::lock_guard lock(runFailureLock_);
        if (!runFailure_)
            runFailure_ = failure;
        runFailed_ = true;
    }
    ticked_ = true;
}

// A tick delivered by hand is shown at once.
void TForm1::Timer1Timer() {
    sequencer_.tickNow();
    followRun();
}

// Shows the state the ticks left, then the failure that stopped the run, if any, once the lock
// is free.
void TForm1::followRun() {
    if (!ticked_ && !runFailed_)
        return;
    const HandlerUnderWay handler(*this);
    std::exception_ptr failure;
    if (runFailed_.exchange(false)) {
        const std::lock_guard lock(runFailureLock_);
        failure = std::exchange(runFailure_, nullptr);
    }
    render();
    if (failure)
        reportHandlerFailure(platform_, this, failure);
}

// ---- the wiring table ---------------------------------------------------------------------------

void TForm1::wireEvents() {
    Ui::TForm1& u = *ui;
    connect(u.ComboBox1, &TComboBox::dropDown, this, &TForm1::ComboBox1DropDown);
    connect(u.ComboBox1, &QComboBox::currentIndexChanged, this, &TForm1::ComboBox1Change);
    connect(u.ComboBox1, &QComboBox::editTextChanged, this, &TForm1::ComboBox1Change);
    connect(u.Button33, &QPushButton::clicked, this, &TForm1::Button33Click);
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        const int relay = entry.relay;
        connect(&relayButton(relay), &TButton::mouseDown, this,
                [this, relay](Qt::MouseButton b) { ButtonMouseDown(relay, b); });
        connect(&relayButton(relay), &QPushButton::clicked, this,
                [this, relay] { RelayButtonClick(relay); });
        connect(&stepButton(relay), &TButton::mouseDown, this,
                [this, relay](Qt::MouseButton b) { ButtonMouseDown(relay, b); });
        connect(&stepButton(relay), &QPushButton::clicked, this,
                [this, relay] { StepButtonClick(relay); });
    }
    connect(u.Button9, &QPushButton::clicked, this, &TForm1::Button9Click);
    connect(u.Button10, &QPushButton::clicked, this, &TForm1::Button10Click);
    connect(u.StringGrid4, &StringGrid::rowClicked, this, &TForm1::StringGrid4Click);
    connect(u.StringGrid4, &StringGrid::rowChosen, this, &TForm1::StringGrid4Select);
    connect(u.Button19, &QPushButton::clicked, this, &TForm1::Button19Click);
    connect(u.Button20, &QPushButton::clicked, this, &TForm1::Button20Click);
    connect(u.Button21, &QPushButton::clicked, this, &TForm1::Button21Click);
    connect(u.Button22, &QPushButton::clicked, this, &TForm1::Button22Click);
    connect(u.Button23, &QPushButton::clicked, this, &TForm1::Button23Click);
    connect(u.Button34, &QPushButton::clicked, this, &TForm1::Button34Click);
    connect(u.Button35, &QPushButton::clicked, this, &TForm1::Button35Click);
    connect(u.TrackBar1, &QSlider::valueChanged, this, &TForm1::TrackBar1Change);
    connect(u.Edit9, &QLineEdit::textChanged, this, &TForm1::Edit9Change);
    connect(u.UpDown1, &UpDown::stepped, this, &TForm1::UpDown1Click);
    connect(u.CheckBox1, &QCheckBox::toggled, this, &TForm1::CheckBox1Click);
}

// ---- the handlers -------------------------------------------------------------------------------

void TForm1::ComboBox1DropDown() {
    act([this] { model_.discoverBoards(); });
}
// The list's selection and its edit text change together (a choice also sets the text), and
// either signal may come first, so each one takes both.
void TForm1::ComboBox1Change() {
    act([this] {
        model_.form().chooseBoardEntry(ui->ComboBox1->currentIndex(),
                                       latin1::bytes(ui->ComboBox1->currentText()));
    });
}
void TForm1::Button33Click() {
    act([this] { model_.form().openSelectedBoard(); });
}
// A relay held back by an interlock's dead time goes on from the window's own timer, so that the
// wait holds neither the model's lock nor the window.
void TForm1::RelayButtonClick(int relay) {
    act([this, relay] {
        if (const std::optional<std::chrono::milliseconds> deadTime =
                model_.form().clickRelayButton(relay))
            QTimer::singleShot(*deadTime, this, [this, relay] {
                act([this, relay] { model_.form().finishSwitch(relay); });
            });
    });
}
void TForm1::Button9Click() {
    act([this] { model_.form().switchAllRelays(true); });
}
void TForm1::Button10Click() {
    act([this] { model_.form().switchAllRelays(false); });
}
void TForm1::StepButtonClick(int relay) {
    act([this, relay] { model_.form().clickStepButton(relay); });
}
void TForm1::StringGrid4Click(int row) {
    act([this, row] { model_.clickRow(row); });
}
void TForm1::StringGrid4Select(int row) {
    act([this, row] { model_.selectRow(row); });
}
void TForm1::Button23Click() {
    act([this] { model_.addStep(); });
}
void TForm1::Button21Click() {
    act([this] { model_.clearLastStep(); });
}
void TForm1::Button22Click() {
    act([this] { model_.clearAllSteps(); });
}
void TForm1::Button34Click() {
    act([this] { model_.startOrStop(); });
}
void TForm1::Button35Click() {
    act([this] { model_.pauseOrResume(); });
}
void TForm1::TrackBar1Change(int resolution) {
    act([this, resolution] { model_.changeResolution(resolution); });
}
void TForm1::Edit9Change(const QString& text) {
    act([this, &text] { model_.form().typeDelayText(text); });
}
void TForm1::UpDown1Click(int delta) {
    act([this, delta] { model_.stepDelay(delta); });
}
void TForm1::CheckBox1Click(bool checked) {
    act([this, checked] { model_.setRepeat(checked); });
}

// Every mouse press on a relay button or a step button, by any mouse button, prepares the label
// dialog for that button's relay and saves the label table, before the button's click runs. A
// right press (or the keyboard's context-menu key) also shows the dialog.
void TForm1::ButtonMouseDown(int relay, Qt::MouseButton button) {
    act([this, relay, button] {
        const model::RelayLabels labels = model_.pickRelayForLabels(relay);
        if (!labelDialog_)
            return;
        labelDialog_->loadEdits(labels);
        if (button == Qt::RightButton) {
            labelDialog_->show();
            labelDialog_->raise();
            labelDialog_->activateWindow();
        }
    });
}

// OK or Enter in the label dialog: the texts are stored and the dialog's 50 ms pause follows, as
// one action, so that a tick due meanwhile waits for both, as it waits for a relay click's pause.
void TForm1::storeEditedLabels(const model::RelayLabels& edited) {
    act([&] {
        model_.storeEditedLabels(edited);
        platform_.pause(model::kSettlePauseMs);
    });
}

void TForm1::setLabelDialog(TForm2* dialog) {
    labelDialog_ = dialog;
    if (dialog)
        connect(dialog, &TForm2::labelsApplied, this, &TForm1::storeEditedLabels);
}

// The file dialogs run under the model's lock, as the actions' other pauses do; a failure is
// shown once the lock is free.
void TForm1::Button19Click() {
    const HandlerUnderWay handler(*this);
    std::optional<QString> failure;
    act([&] {
        const QString path = platform_.askOpenFileName(this);
        if (!path.isEmpty())
            failure = model_.openProgramFile(QFile::encodeName(path).toStdString());
    });
    if (failure)
        platform_.showError(this, *failure);
}

void TForm1::Button20Click() {
    const HandlerUnderWay handler(*this);
    std::optional<QString> failure;
    act([&] {
        const QString chosen = platform_.askSaveFileName(this, QStringLiteral("New"));
        if (!chosen.isEmpty())
            failure = model_.saveProgramFile(chosen);
    });
    if (failure)
        platform_.showError(this, *failure);
}

// The program ends with this window: a running program stops with it, so that no tick reaches
// the board after it was closed, and the labels are on the disk before the window goes.
void TForm1::closeEvent(QCloseEvent* event) {
    stopServing();
    act([this] { model_.close(); });
    model_.flushLabels();
    event->accept();
    emit closed();
}

// ---- rendering ----------------------------------------------------------------------------------
// The window shows the model's last snapshot, taken without its lock, so a tick never waits for
// the controls. Controls are set only where they differ from the model, with their signals
// blocked, so that rendering never runs a handler and an unchanged control is not repainted.

void TForm1::render() {
    ticked_ = false; // before the look: a tick after it is shown next time
    shown_ = model_.snapshot();
    const model::Snapshot& shown = *shown_;
    renderRelays(shown);
    renderBoardList(shown);
    renderProgram(shown);
    serveOpenedBoard(shown);
    const int frameInterval = frameIntervalFor(shown, sequencer_.isRealTime());
    if (frameTimer_->interval() != frameInterval)
        frameTimer_->setInterval(frameInterval);
    if (shown.timerEnabled && !frameTimer_->isActive())
        frameTimer_->start();
    else if (!shown.timerEnabled && frameTimer_->isActive() && !runFailed_)
        frameTimer_->stop(); // but not before it has shown why a failed run stopped
}

void TForm1::renderRelays(const model::Snapshot& shown) {
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        const model::RelayView& view = shown.relay(entry.relay);
        TButton& button = relayButton(entry.relay);
        const QString caption = latin1::text(view.caption);
        if (button.caption() != caption)
            button.setCaption(caption);
        TButton& step = stepButton(entry.relay);
        const QString stepCaption = latin1::text(view.stepCaption);
        if (step.caption() != stepCaption)
            step.setCaption(stepCaption);
        const int top = view.stepOn ? kStepOnTop : kStepOffTop;
        if (step.top() != top)
            step.setTop(top);
        // A relay the board does not have: its controls stay, disabled, its lamp unlit.
        const bool present = shown.relayPresent(entry.relay);
        TPanel& relayLamp = lamp(entry.relay);
        relayLamp.setColor(present ? lampColor(view.lamp) : clBtnFace);
        for (QWidget* control : {static_cast<QWidget*>(&button), static_cast<QWidget*>(&step),
                                 static_cast<QWidget*>(&relayLamp)})
            if (control->isEnabled() != present)
                control->setEnabled(present);
    }
}

void TForm1::renderBoardList(const model::Snapshot& shown) {
    ui->Panel27->setColor(shown.boardFound ? clLime : clRed);
    const QString status =
        shown.boardFound ? QStringLiteral("Board found !") : QStringLiteral("Board not found !");
    if (ui->Panel27->text() != status)
        ui->Panel27->setText(status);
    TComboBox& list = *ui->ComboBox1;
    const QSignalBlocker blocker(list);
    const std::vector<std::string> entries = boardlist::entries(shown.deviceCount);
    bool sameEntries = list.count() == static_cast<int>(entries.size());
    for (int i = 0; sameEntries && i < list.count(); ++i)
        sameEntries = list.itemText(i) == latin1::text(entries[static_cast<std::size_t>(i)]);
    if (!sameEntries) {
        list.clear();
        QStringList texts;
        for (const std::string& entry : entries)
            texts << latin1::text(entry);
        list.addItems(texts);
    }
    if (list.currentIndex() != shown.boardEntry)
        list.setCurrentIndex(shown.boardEntry);
    const QString text =
        latin1::text(shown.boardListText.value_or(boardlist::text(shown.deviceCount)));
    if (list.currentText() != text)
        list.setEditText(text);
}

void TForm1::renderProgram(const model::Snapshot& shown) {
    Ui::TForm1& u = *ui;
    const bool textsChanged = shown.rowsVersion != rowsVersionShown_;
    rowsVersionShown_ = shown.rowsVersion;
    u.StringGrid4->showRows(shown.rowCount(), shown.currentRow, textsChanged);
    if (u.Edit9->text() != shown.delayText) {
        const QSignalBlocker blocker(u.Edit9);
        u.Edit9->setText(shown.delayText);
    }
    u.UpDown1->setPosition(shown.timerValue);
    if (u.TrackBar1->value() != shown.resolution) {
        const QSignalBlocker blocker(u.TrackBar1);
        u.TrackBar1->setValue(shown.resolution);
    }
    const QString readout = QString::number(shown.resolution);
    if (u.Label5->text() != readout) {
        u.Label5->setText(readout);
        fitLabelToText(*u.Label5);
    }
    if (u.CheckBox1->isChecked() != shown.repeat) {
        const QSignalBlocker blocker(u.CheckBox1);
        u.CheckBox1->setChecked(shown.repeat);
    }
    if (u.Button34->caption() != startCaption(shown.run))
        u.Button34->setCaption(startCaption(shown.run));
    if (u.Button35->caption() != pauseCaption(shown.run))
        u.Button35->setCaption(pauseCaption(shown.run));
}
