// The "Manual Mode" page. A relay button's caption is the page's record of its relay: the ON
// label while the relay is off, the OFF label while it is on. Every click decides by comparing the
// caption with the ON label, exactly, and then runs one fixed chain of steps.
#include "app/Controls.h"
#include "app/TForm1.h"
#include "ui_TForm1.h"

namespace {
constexpr int kSettlePauseMs = 50;
} // namespace

void TForm1::Button2Click() {
    manualClickSequence(relayOf(*ui->Button2));
}
void TForm1::Button3Click() {
    manualClickSequence(relayOf(*ui->Button3));
}
void TForm1::Button1Click() {
    manualClickSequence(relayOf(*ui->Button1));
}
void TForm1::Button4Click() {
    manualClickSequence(relayOf(*ui->Button4));
}
void TForm1::Button5Click() {
    manualClickSequence(relayOf(*ui->Button5));
}
void TForm1::Button6Click() {
    manualClickSequence(relayOf(*ui->Button6));
}
void TForm1::Button7Click() {
    manualClickSequence(relayOf(*ui->Button7));
}
void TForm1::Button8Click() {
    manualClickSequence(relayOf(*ui->Button8));
}
void TForm1::Button9Click() {
    manualAllSequence(true);
}
void TForm1::Button10Click() {
    manualAllSequence(false);
}

void TForm1::toggleRelay(int relay) {
    const board::RelayMapEntry& entry = board::relayEntry(relay);
    std::uint8_t byte = state_.relayByte;
    TButton& button = relayButton(relay);
    if (button.caption() == onLabel(relay)) {
        byte |= entry.mask;
        button.setCaption(offLabel(relay));
    } else {
        byte &= static_cast<std::uint8_t>(~entry.mask);
        button.setCaption(onLabel(relay));
    }
    state_.relayByte = byte;
    writeRelayByte();
}

void TForm1::allRelaysOn() {
    for (const board::RelayMapEntry& entry : board::kRelayMap)
        relayButton(entry.relay).setCaption(offLabel(entry.relay));
    state_.relayByte = 0xFF;
    writeRelayByte();
}

void TForm1::allRelaysOff() {
    for (const board::RelayMapEntry& entry : board::kRelayMap)
        relayButton(entry.relay).setCaption(onLabel(entry.relay));
    state_.relayByte = 0x00;
    writeRelayByte();
}

void TForm1::showCaptionsOnLamps() {
    for (const board::RelayMapEntry& entry : board::kRelayMap) {
        const bool off = relayButton(entry.relay).caption() == onLabel(entry.relay);
        lamp(entry.relay).setColor(off ? clRed : clLime);
    }
}

void TForm1::showBoardOnCaptions() {
    readRelayByte();
    for (const board::RelayMapEntry& entry : board::kRelayMap) {
        const bool on = state_.relayByte & entry.mask;
        relayButton(entry.relay).setCaption(on ? offLabel(entry.relay) : onLabel(entry.relay));
    }
}

void TForm1::copyRelayCaptionToStepButton(int relay) {
    if (relay < 1 || relay > board::kRelayCount)
        return;
    stepButton(relay).setCaption(relayButton(relay).caption());
}

// The second write carries what the lamps show, i.e. all eight captions: it repeats the first
// when the captions agree with the board and overrides it when they do not.
void TForm1::manualClickSequence(int relay) {
    toggleRelay(relay);
    settleAndReadBack();
    copyRelayCaptionToStepButton(relay);
}

// Steps 2 to 7 of every manual click: lamps from the captions, the settle pause, the second
// write, and the board read back into the current row and the step buttons.
void TForm1::settleAndReadBack() {
    showCaptionsOnLamps();
    platform_.pause(kSettlePauseMs);
    sendLampsToBoard();
    writeBoardPatternToCurrentRow();
    showBoardOnStepButtons();
    composeCurrentRow();
}

void TForm1::manualAllSequence(bool on) {
    if (on)
        allRelaysOn();
    else
        allRelaysOff();
    settleAndReadBack();
}
