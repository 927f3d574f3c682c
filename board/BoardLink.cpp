// Board discovery, opening, and the port operations every relay view is built on.
#include "app/Controls.h"
#include "app/TForm1.h"
#include "board/BoardList.h"
#include "timer/StepText.h"
#include "ui_TForm1.h"

namespace {
constexpr std::uint8_t kAllPinsOutput = 0xFF;
constexpr std::uint8_t kAsyncBitBang = 1;
constexpr std::uint32_t kRate = 115200;
} // namespace

void TForm1::discoverBoards() {
    TComboBox& list = *ui->ComboBox1;
    list.clear();
    state_.deviceCount = 0;
    driver_.countDevices(state_.deviceCount);
    QStringList entries;
    for (const std::string& entry : board::boardListEntries(state_.deviceCount))
        entries << QString::fromStdString(entry);
    list.addItems(entries);
    list.setEditText(QString::fromStdString(board::boardListText(state_.deviceCount)));
    if (state_.deviceCount == 0)
        setStatusPanel(false);
}

void TForm1::ComboBox1DropDown() {
    discoverBoards();
}

// Opens the board the user picked, sets its pins up as outputs and adopts their state in every
// view. Nothing is written to the board, so the relays keep what they had.
void TForm1::Button33Click() {
    const std::uint32_t index =
        board::deviceIndexForEntry(ui->ComboBox1->currentIndex(), state_.deviceCount);
    driver_.openByIndex(index, state_.boardHandle);
    if (state_.boardHandle == 0) {
        setStatusPanel(false);
        return;
    }
    driver_.setBitMode(state_.boardHandle, kAllPinsOutput, kAsyncBitBang);
    driver_.setBaudRate(state_.boardHandle, kRate);
    boardLost_ = false;
    showBoardOnCaptions();
    showBoardOnLamps();
    writeBoardPatternToCurrentRow();
    showBoardOnStepButtons();
    composeCurrentRow();
    // A board that stopped answering while it was being mirrored stays reported as not found.
    if (!boardLost_)
        setStatusPanel(true);
}

// Once a board has been opened, a failed read or write means it has gone away.
void TForm1::noteBoardStatus(board::Status status) {
    if (state_.boardHandle != 0 && !board::succeeded(status)) {
        boardLost_ = true;
        setStatusPanel(false);
    }
}

void TForm1::readRelayByte() {
    noteBoardStatus(driver_.readPins(state_.boardHandle, state_.relayByte));
}

void TForm1::writeRelayByte() {
    noteBoardStatus(driver_.write(state_.boardHandle, &state_.relayByte, 1, state_.bytesWritten));
}

void TForm1::showBoardOnLamps() {
    readRelayByte();
    for (const board::RelayMapEntry& entry : board::kRelayMap)
        lamp(entry.relay).setColor((state_.relayByte & entry.mask) ? clLime : clRed);
}

// A lamp counts as on only in exactly lime; red and the initial panel colour both count as off.
void TForm1::sendLampsToBoard() {
    std::uint8_t byte = 0;
    for (const board::RelayMapEntry& entry : board::kRelayMap)
        if (lamp(entry.relay).color() == clLime)
            byte |= entry.mask;
    state_.relayByte = byte;
    writeRelayByte();
}

// A step button counts as off only in exactly the off position.
void TForm1::sendStepButtonsToBoard() {
    std::uint8_t byte = 0;
    for (const board::RelayMapEntry& entry : board::kRelayMap)
        if (stepButton(entry.relay).top() != steps::kStepOffTop)
            byte |= entry.mask;
    state_.relayByte = byte;
    writeRelayByte();
}
