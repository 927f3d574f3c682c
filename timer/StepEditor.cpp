// The program step editor on "Timer Mode": step buttons whose vertical position is each relay's
// state, the program list with one step text per row, and the timer value in Edit9/UpDown1.
// Editing is live: every change goes to the board at once and comes back from it.
#include "app/Controls.h"
#include "app/TForm1.h"
#include "timer/StepText.h"
#include "ui_TForm1.h"

namespace {
constexpr int kSettlePauseMs = 50;
constexpr std::string_view kEmptyStep = "00000000-0";
} // namespace

void TForm1::Button18Click() {
    stepClick(relayOf(*ui->Button18));
}
void TForm1::Button17Click() {
    stepClick(relayOf(*ui->Button17));
}
void TForm1::Button16Click() {
    stepClick(relayOf(*ui->Button16));
}
void TForm1::Button15Click() {
    stepClick(relayOf(*ui->Button15));
}
void TForm1::Button14Click() {
    stepClick(relayOf(*ui->Button14));
}
void TForm1::Button13Click() {
    stepClick(relayOf(*ui->Button13));
}
void TForm1::Button12Click() {
    stepClick(relayOf(*ui->Button12));
}
void TForm1::Button11Click() {
    stepClick(relayOf(*ui->Button11));
}

std::string TForm1::currentRowText() const {
    const StringGrid& grid = *ui->StringGrid4;
    return std::string(grid.text(grid.row()));
}

void TForm1::setCurrentRowText(const std::string& text) {
    StringGrid& grid = *ui->StringGrid4;
    grid.setText(grid.row(), text);
}

int TForm1::timerValue() const {
    return ui->UpDown1->position();
}

void TForm1::setTimerValue(int value) {
    ui->UpDown1->setPosition(static_cast<std::int16_t>(value));
}

void TForm1::setStepButtonOn(int relay, bool on) {
    stepButton(relay).setTop(on ? steps::kStepOnTop : steps::kStepOffTop);
}

// The current row takes the pattern the board reports after the write, not the buttons' own.
void TForm1::stepClick(int relay) {
    TButton& button = stepButton(relay);
    button.setTop(button.top() == steps::kStepOffTop ? steps::kStepOnTop : steps::kStepOffTop);
    sendStepButtonsToBoard();
    showStepButtonsOnLamps();
    platform_.pause(kSettlePauseMs);
    writeBoardPatternToCurrentRow();
    composeCurrentRow();
    showBoardOnCaptions();
    copyRelayCaptionToStepButton(relay);
}

void TForm1::showBoardOnStepButtons() {
    readRelayByte();
    for (const board::RelayMapEntry& entry : board::kRelayMap)
        setStepButtonOn(entry.relay, state_.relayByte & entry.mask);
}

// Leaves the row with its eight state characters alone; compose current row always follows.
void TForm1::writeBoardPatternToCurrentRow() {
    readRelayByte();
    setCurrentRowText(steps::patternOfByte(state_.relayByte));
}

void TForm1::showStepButtonsOnLamps() {
    for (const board::RelayMapEntry& entry : board::kRelayMap) {
        const bool off = stepButton(entry.relay).top() == steps::kStepOffTop;
        lamp(entry.relay).setColor(off ? clRed : clLime);
    }
}

// The delay digits are copied from Edit9's text, their count chosen by the timer value.
void TForm1::composeCurrentRow() {
    const QByteArray editText = ui->Edit9->text().toLatin1();
    setCurrentRowText(steps::composeStep(
        currentRowText(), timerValue(),
        std::string_view(editText.constData(), static_cast<std::size_t>(editText.size()))));
}

// Puts the current row on the step buttons, the board, the lamps and the relay buttons, and its
// delay into Edit9. A row too short to hold eight state characters stops at the first missing
// one, before anything is written to the board.
void TForm1::applySelectedRow() {
    const std::string row = currentRowText();
    for (const board::RelayMapEntry& entry : board::kRelayMap) {
        const auto n = static_cast<std::size_t>(entry.relay);
        setStepButtonOn(entry.relay, steps::stepButtonOn(steps::lineChar(row, n)));
    }
    state_.relayByte = steps::relayByteOfRow(row);
    writeRelayByte();
    for (const board::RelayMapEntry& entry : board::kRelayMap) {
        const bool on = steps::relayOn(steps::lineChar(row, static_cast<std::size_t>(entry.relay)));
        lamp(entry.relay).setColor(on ? clLime : clRed);
        relayButton(entry.relay).setCaption(on ? offLabel(entry.relay) : onLabel(entry.relay));
    }
    // A row that is not 10 to 13 characters long has no delay digits to offer; Edit9 keeps its
    // text.
    if (const std::optional<std::string> delay = steps::rowDelayText(row))
        ui->Edit9->setText(
            QString::fromLatin1(delay->data(), static_cast<qsizetype>(delay->size())));
}

void TForm1::StringGrid4Click() {
    applySelectedRow();
}

// Add: a copy of the current step as the new last row, which becomes current and is applied.
void TForm1::Button23Click() {
    StringGrid& grid = *ui->StringGrid4;
    const std::string copy(grid.text(grid.row()));
    grid.setRowCount(grid.rowCount() + 1);
    grid.setText(grid.rowCount() - 1, copy);
    grid.setRow(grid.rowCount() - 1);
}

// Clear: removes the last row, whichever row is current; nothing is applied.
void TForm1::Button21Click() {
    StringGrid& grid = *ui->StringGrid4;
    grid.setRowCount(grid.rowCount() - 1);
}

// Clear all: back to the one row "00000000-0", always applied, even when row 0 was current.
void TForm1::Button22Click() {
    StringGrid& grid = *ui->StringGrid4;
    grid.setRowCount(2);
    grid.setText(0, kEmptyStep);
    grid.setText(1, kEmptyStep);
    grid.setRow(1);
    grid.setRow(0);
    grid.setRowCount(1);
}
