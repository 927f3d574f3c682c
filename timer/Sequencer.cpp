// Plays the program list on Timer1. The run state lives in the captions of Button34 and Button35
// and in whether Timer1 is enabled; the count of the playing step is the timer value itself.
#include "app/Controls.h"
#include "app/TForm1.h"
#include "timer/TickTimer.h"
#include "ui_TForm1.h"

namespace {
const QString kStart = QStringLiteral("Start");
const QString kStop = QStringLiteral("Stop");
const QString kPause = QStringLiteral("Pause");
const QString kResume = QStringLiteral("Resume");
} // namespace

void TForm1::Button34Click() {
    if (ui->Button34->caption() == kStart)
        startProgram();
    else
        stopProgram();
}

// The first step is always played with its own pattern and delay: row 0 is applied even when it
// is already current (after Open File it is current without having been applied).
void TForm1::startProgram() {
    Timer1->setEnabled(true);
    ui->Button34->setCaption(kStop);
    StringGrid& grid = *ui->StringGrid4;
    if (grid.row() == 0)
        applySelectedRow();
    else
        grid.setRow(0);
    state_.savedStepDelay = timerValue();
}

// The current row stays and the relays keep its pattern; the step's full delay comes back.
void TForm1::stopProgram() {
    Timer1->setEnabled(false);
    setTimerValue(state_.savedStepDelay);
    ui->Button34->setCaption(kStart);
    ui->Button35->setCaption(kPause);
}

void TForm1::Button35Click() {
    if (ui->Button34->caption() != kStop)
        return;
    if (ui->Button35->caption() == kPause) {
        ui->Button35->setCaption(kResume);
        Timer1->setEnabled(false);
    } else {
        ui->Button35->setCaption(kPause);
        Timer1->setEnabled(true);
    }
}

// A step with delay D is held for max(D, 1) ticks: D - 1 ticks count it down to 1 and the next
// tick moves on.
void TForm1::Timer1Timer() {
    const int value = timerValue();
    if (value >= 2) {
        setTimerValue(value - 1);
        return;
    }
    ui->Edit9->setText(QString::number(state_.savedStepDelay));
    StringGrid& grid = *ui->StringGrid4;
    if (grid.row() + 1 < grid.rowCount()) {
        grid.setRow(grid.row() + 1);
        state_.savedStepDelay = timerValue();
    } else if (ui->CheckBox1->isChecked()) {
        grid.setRow(0);
        state_.savedStepDelay = timerValue();
    } else {
        Timer1->setEnabled(false);
        ui->Button34->setCaption(kStart);
    }
}

void TForm1::TrackBar1Change() {
    const int resolution = ui->TrackBar1->value();
    Timer1->setInterval(resolution);
    ui->Label5->setText(QString::number(resolution));
    fitLabelToText(*ui->Label5);
}

void TForm1::Edit9Change() {
    composeCurrentRow();
}

void TForm1::UpDown1Click() {
    composeCurrentRow();
}
