#include "app/TForm1.h"

#include "app/Controls.h"
#include "labels/TForm2.h"
#include "timer/TickTimer.h"
#include "ui_TForm1.h"

#include <QCloseEvent>
#include <QFont>
#include <QLabel>

#include <algorithm>
#include <utility>

TForm1::TForm1(ProcessState& state, board::Driver& driver, Platform& platform, QWidget* parent)
    : QWidget(parent)
    , ui(std::make_unique<Ui::TForm1>())
    , state_(state)
    , driver_(driver)
    , platform_(platform) {
    ui->setupUi(this);
    move(326, 101);
    setFixedSize(785, 413);
    setWindowIcon(programIcon());
    FormStyle::apply(*this, *ui->TabbedNotebook1);
    resolveRelayControls();
    applyFonts();
    ui->UpDown1->setAssociate(ui->Edit9);

    // The form description leaves the timer enabled at 1 ms; start-up disables it.
    Timer1 = new TickTimer(this);
    Timer1->setInterval(1);
    Timer1->setGate([this] { return handlerDepth_ == 0; });
    Timer1->setEnabled(true);

    wireEvents();
    handle([this] { FormCreate(); });
}

TForm1::~TForm1() = default;

void TForm1::applyFonts() {
    // The form's font is not found on Linux; a metric-compatible sans keeps captions within the
    // control sizes the form gives.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                                QStringLiteral("DejaVu Sans")});
    QFont windowFont(QStringLiteral("MS Sans Serif"));
    windowFont.setPixelSize(11);
    setFont(windowFont);
    for (const board::RelayMapEntry& entry : board::kRelayMap) {
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
    for (const board::RelayMapEntry& entry : board::kRelayMap) {
        RelayControls& controls = relays_[static_cast<std::size_t>(entry.relay - 1)];
        controls.lamp = findChild<TPanel*>(
            QString::fromLatin1(entry.lamp.data(), static_cast<int>(entry.lamp.size())));
        controls.relayButton = findChild<TButton*>(QString::fromLatin1(
            entry.relayButton.data(), static_cast<int>(entry.relayButton.size())));
        controls.stepButton = findChild<TButton*>(QString::fromLatin1(
            entry.stepButton.data(), static_cast<int>(entry.stepButton.size())));
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

int TForm1::relayOf(const QObject& button) {
    return board::relayOfButton(button.objectName().toStdString());
}

// A failure inside a tick, also one raised by a handler the tick set off (a row it selected, the
// delay it wrote back), belongs to the tick: it is kept for the tick to report once it has
// stopped the run. Anywhere else the failing handler stops and its message is shown.
template <typename Body> void TForm1::handle(Body&& body) {
    ++handlerDepth_;
    try {
        std::forward<Body>(body)();
    } catch (...) {
        if (inTick_) {
            if (!tickFailure_)
                tickFailure_ = std::current_exception();
        } else {
            reportHandlerFailure(platform_, this, std::current_exception());
        }
    }
    if (--handlerDepth_ == 0 && Timer1)
        Timer1->releaseHeldTick();
}

// A tick that fails stops the run as Stop does, so that the error is shown once and the program
// does not fail again on every following tick.
void TForm1::runTick() {
    ++handlerDepth_;
    inTick_ = true;
    tickFailure_ = nullptr;
    handle([this] { Timer1Timer(); });
    if (tickFailure_)
        handle([this] { stopProgram(); });
    inTick_ = false;
    const std::exception_ptr failure = std::exchange(tickFailure_, nullptr);
    if (failure)
        reportHandlerFailure(platform_, this, failure);
    if (--handlerDepth_ == 0)
        Timer1->releaseHeldTick();
}

template <typename Sender, typename Signal, typename... Args>
void TForm1::wire(Sender* sender, Signal signal, void (TForm1::*handler)(Args...)) {
    connect(sender, signal, this,
            [this, handler](Args... args) { handle([&] { (this->*handler)(args...); }); });
}

void TForm1::wireEvents() {
    wire(ui->ComboBox1, &TComboBox::dropDown, &TForm1::ComboBox1DropDown);
    wire(ui->Button33, &QPushButton::clicked, &TForm1::Button33Click);

    wire(ui->Button2, &QPushButton::clicked, &TForm1::Button2Click);
    wire(ui->Button3, &QPushButton::clicked, &TForm1::Button3Click);
    wire(ui->Button1, &QPushButton::clicked, &TForm1::Button1Click);
    wire(ui->Button4, &QPushButton::clicked, &TForm1::Button4Click);
    wire(ui->Button5, &QPushButton::clicked, &TForm1::Button5Click);
    wire(ui->Button6, &QPushButton::clicked, &TForm1::Button6Click);
    wire(ui->Button7, &QPushButton::clicked, &TForm1::Button7Click);
    wire(ui->Button8, &QPushButton::clicked, &TForm1::Button8Click);
    wire(ui->Button2, &TButton::mouseDown, &TForm1::Button2MouseDown);
    wire(ui->Button3, &TButton::mouseDown, &TForm1::Button3MouseDown);
    wire(ui->Button1, &TButton::mouseDown, &TForm1::Button1MouseDown);
    wire(ui->Button4, &TButton::mouseDown, &TForm1::Button4MouseDown);
    wire(ui->Button5, &TButton::mouseDown, &TForm1::Button5MouseDown);
    wire(ui->Button6, &TButton::mouseDown, &TForm1::Button6MouseDown);
    wire(ui->Button7, &TButton::mouseDown, &TForm1::Button7MouseDown);
    wire(ui->Button8, &TButton::mouseDown, &TForm1::Button8MouseDown);
    wire(ui->Button9, &QPushButton::clicked, &TForm1::Button9Click);
    wire(ui->Button10, &QPushButton::clicked, &TForm1::Button10Click);

    wire(ui->Button11, &QPushButton::clicked, &TForm1::Button11Click);
    wire(ui->Button12, &QPushButton::clicked, &TForm1::Button12Click);
    wire(ui->Button13, &QPushButton::clicked, &TForm1::Button13Click);
    wire(ui->Button14, &QPushButton::clicked, &TForm1::Button14Click);
    wire(ui->Button15, &QPushButton::clicked, &TForm1::Button15Click);
    wire(ui->Button16, &QPushButton::clicked, &TForm1::Button16Click);
    wire(ui->Button17, &QPushButton::clicked, &TForm1::Button17Click);
    wire(ui->Button18, &QPushButton::clicked, &TForm1::Button18Click);
    wire(ui->Button11, &TButton::mouseDown, &TForm1::Button11MouseDown);
    wire(ui->Button12, &TButton::mouseDown, &TForm1::Button12MouseDown);
    wire(ui->Button13, &TButton::mouseDown, &TForm1::Button13MouseDown);
    wire(ui->Button14, &TButton::mouseDown, &TForm1::Button14MouseDown);
    wire(ui->Button15, &TButton::mouseDown, &TForm1::Button15MouseDown);
    wire(ui->Button16, &TButton::mouseDown, &TForm1::Button16MouseDown);
    wire(ui->Button17, &TButton::mouseDown, &TForm1::Button17MouseDown);
    wire(ui->Button18, &TButton::mouseDown, &TForm1::Button18MouseDown);

    wire(ui->StringGrid4, &StringGrid::selected, &TForm1::StringGrid4Click);
    wire(ui->Button19, &QPushButton::clicked, &TForm1::Button19Click);
    wire(ui->Button20, &QPushButton::clicked, &TForm1::Button20Click);
    wire(ui->Button21, &QPushButton::clicked, &TForm1::Button21Click);
    wire(ui->Button23, &QPushButton::clicked, &TForm1::Button23Click);
    wire(ui->Button22, &QPushButton::clicked, &TForm1::Button22Click);
    wire(ui->Button34, &QPushButton::clicked, &TForm1::Button34Click);
    wire(ui->Button35, &QPushButton::clicked, &TForm1::Button35Click);
    wire(ui->TrackBar1, &QSlider::valueChanged, &TForm1::TrackBar1Change);
    wire(ui->Edit9, &QLineEdit::textChanged, &TForm1::Edit9Change);
    wire(ui->UpDown1, &UpDown::clicked, &TForm1::UpDown1Click);
    connect(Timer1, &TickTimer::timeout, this, &TForm1::runTick);
}

void TForm1::FormCreate() {
    loadLabels();
    setStatusPanel(false);
    ui->StringGrid4->setCell(0, QStringLiteral("00000000-0"));
    ui->StringGrid4->setRowCount(1);
    discoverBoards();
    state_.relayByte = 0;
    Timer1->setEnabled(false);
}

void TForm1::FormClose() {
    driver_.close(state_.boardHandle);
    saveLabels();
}

void TForm1::closeEvent(QCloseEvent* event) {
    handle([this] { FormClose(); });
    event->accept();
    emit closed();
}

void TForm1::setStatusPanel(bool found) {
    ui->Panel27->setColor(found ? clLime : clRed);
    ui->Panel27->setText(found ? QStringLiteral("Board found !")
                               : QStringLiteral("Board not found !"));
}
