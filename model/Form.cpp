#include "model/Form.h"

#include "model/Model.h"
#include "model/StepText.h"

#include <utility>

namespace model {

namespace {

// The device to open for the chosen entry (-1 = none): the first one unless two or more boards
// were found and one of them is chosen.
std::uint32_t deviceIndexForEntry(int chosenEntry, std::uint32_t count) {
    if (count < 2 || chosenEntry < 0 || static_cast<std::uint32_t>(chosenEntry) >= count)
        return 0;
    return static_cast<std::uint32_t>(chosenEntry);
}

} // namespace

Form::Form(const Model& model, BoardSession& board, Player& player, LabelStore& labels,
           Pause& pause)
    : model_(model)
    , board_(board)
    , player_(player)
    , labels_(labels)
    , pause_(pause) {}

// ---- "Options": the board list and opening
// --------------------------------------------------------

void Form::listBoards(std::uint32_t count) {
    boardEntry_ = count == 0 ? -1 : 0;
    boardListText_.reset();
}

// The list's selection and its edit text change together: a choice also sets the text.
void Form::chooseBoardEntry(int entry, std::string listText) {
    const Model::Lock lock(model_);
    boardEntry_ = entry;
    boardListText_ = std::move(listText);
}

// Opens the board the user picked, sets its pins up as outputs and adopts their state in every
// view. Nothing is written to the board, so the relays keep what they had.
void Form::openSelectedBoard() {
    const Model::Lock lock(model_);
    const std::uint32_t index = deviceIndexForEntry(boardEntry_, board_.deviceCount());
    if (!board_.open(index)) {
        board_.setFound(false);
        return;
    }
    const std::uint64_t failures = board_.failures();
    board_.takeIdOf(index);
    showBoardOnCaptions();
    showBoardOnLamps();
    writeBoardPatternToCurrentRow();
    showBoardOnStepButtons();
    player_.composeCurrentRow();
    // A board that stopped answering while it was being mirrored stays reported as not found.
    if (board_.failures() == failures)
        board_.setFound(true);
}

// ---- the views and the board
// -----------------------------------------------------------------------

// A relay whose state is unknown (a board that cannot read back) has a lamp of neither colour.
Lamp Form::lampOf(int relayNumber) const {
    const std::uint8_t mask = devices::relayEntry(relayNumber).mask;
    if (!(board_.knownRelays() & mask) && (board_.relayMask() & mask))
        return Lamp::Uncoloured;
    return (board_.relayByte() & mask) ? Lamp::On : Lamp::Off;
}

void Form::showBoardOnLamps() {
    board_.read();
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        relay(entry.relay).lamp = lampOf(entry.relay);
}

// A lamp counts as on only in the on state; off and uncoloured both count as off.
void Form::sendLampsToBoard() {
    std::uint8_t byte = 0;
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        if (relay(entry.relay).lamp == Lamp::On)
            byte |= entry.mask;
    board_.write(byte);
}

// A step button counts as off only in exactly the off position.
void Form::sendStepButtonsToBoard() {
    std::uint8_t byte = 0;
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        if (relay(entry.relay).stepOn)
            byte |= entry.mask;
    board_.write(byte);
}

// Taken, a written pattern leaves the views as a user's click on each relay it switched leaves
// them (lamps, relay buttons, step buttons and their captions, the current row's pattern),
// without the click's pause, second write and reads.
void Form::showWrittenPattern(std::uint8_t before, std::uint8_t written) {
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        const bool on = written & entry.mask;
        RelayView& view = relay(entry.relay);
        view.lamp = lampOf(entry.relay);
        view.caption = on ? labels_.offLabel(entry.relay) : labels_.onLabel(entry.relay);
        view.stepOn = on;
        if ((before ^ written) & entry.mask)
            copyRelayCaptionToStepButton(entry.relay);
    }
    player_.setCurrentRowText(steps::patternOfByte(written));
    player_.runSetOff([this] { player_.composeCurrentRow(); });
}

void Form::showStepButton(int relayNumber, bool on) {
    relay(relayNumber).stepOn = on;
}

void Form::showRelay(int relayNumber, bool on) {
    RelayView& view = relay(relayNumber);
    view.lamp = on ? Lamp::On : Lamp::Off;
    view.caption = on ? labels_.offLabel(relayNumber) : labels_.onLabel(relayNumber);
}

// The ON label when the relay's lamp is off, otherwise (as at start-up, before any lamp is
// coloured) the OFF label.
void Form::showLabelsOnCaptions() {
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        RelayView& view = relay(entry.relay);
        view.caption =
            view.lamp == Lamp::Off ? labels_.onLabel(entry.relay) : labels_.offLabel(entry.relay);
    }
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        copyRelayCaptionToStepButton(entry.relay);
}

void Form::showIn(Snapshot& shown) const {
    shown.relays = relays_;
    shown.boardEntry = boardEntry_;
    shown.boardListText = boardListText_;
}

// ---- "Manual Mode" ----------------------------------------------------------------------------
// A relay button's caption is the page's record of its relay. Every click decides by comparing
// the caption with the ON label, exactly, and then runs one fixed chain of steps.

std::optional<std::chrono::milliseconds> Form::clickRelayButton(int relayNumber) {
    const Model::Lock lock(model_);
    const Interlocks& interlocks = board_.interlocks();
    if (!interlocks.empty() && showsOff(relayNumber)) {
        const std::uint8_t mask = devices::relayEntry(relayNumber).mask;
        const InterlockSwitch plan =
            planInterlockedWrite(interlocks, board_.possiblyOn(), mask, board_.relayByte() | mask);
        if (plan.onAfter) {
            // Each of the others goes off as its own click would switch it.
            for (const devices::RelayMapEntry& entry : devices::kRelayMap)
                if ((plan.which & ~plan.relays & entry.mask) && entry.relay != relayNumber &&
                    !showsOff(entry.relay))
                    manualClickSequence(entry.relay);
            if (interlocks.deadTime().count() > 0)
                return interlocks.deadTime();
        }
        board_.refuseBreach(mask, board_.possiblyOn() | mask);
    }
    manualClickSequence(relayNumber);
    return std::nullopt;
}

void Form::finishSwitch(int relayNumber) {
    const Model::Lock lock(model_);
    const std::uint8_t mask = devices::relayEntry(relayNumber).mask;
    if (!showsOff(relayNumber) ||
        board_.interlocks().breach(mask, static_cast<std::uint8_t>(board_.possiblyOn() | mask)))
        return;
    manualClickSequence(relayNumber);
}

bool Form::showsOff(int relayNumber) const {
    return relays_.at(static_cast<std::size_t>(relayNumber - 1)).caption ==
           labels_.onLabel(relayNumber);
}

void Form::switchAllRelays(bool on) {
    const Model::Lock lock(model_);
    if (on)
        board_.refuseBreach(0xFF, 0xFF);
    if (on)
        allRelaysOn();
    else
        allRelaysOff();
    settleAndReadBack();
}

void Form::toggleRelay(int relayNumber) {
    RelayView& view = relay(relayNumber);
    const bool on = view.caption == labels_.onLabel(relayNumber);
    view.caption = on ? labels_.offLabel(relayNumber) : labels_.onLabel(relayNumber);
    board_.cancelPulses(devices::relayEntry(relayNumber).mask); // a user's click takes it over
    board_.write(devices::withRelay(board_.relayByte(), relayNumber, on));
}

void Form::allRelaysOn() {
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        relay(entry.relay).caption = labels_.offLabel(entry.relay);
    board_.cancelPulses(0xFF);
    board_.write(0xFF);
}

void Form::allRelaysOff() {
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        relay(entry.relay).caption = labels_.onLabel(entry.relay);
    board_.cancelPulses(0xFF);
    board_.write(0x00);
}

void Form::showCaptionsOnLamps() {
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        RelayView& view = relay(entry.relay);
        view.lamp = view.caption == labels_.onLabel(entry.relay) ? Lamp::Off : Lamp::On;
    }
}

void Form::showBoardOnCaptions() {
    board_.read();
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        const bool on = board_.relayByte() & entry.mask;
        relay(entry.relay).caption =
            on ? labels_.offLabel(entry.relay) : labels_.onLabel(entry.relay);
    }
}

void Form::copyRelayCaptionToStepButton(int relayNumber) {
    if (relayNumber < 1 || relayNumber > devices::kRelayCount)
        return;
    relay(relayNumber).stepCaption = relay(relayNumber).caption;
}

// The second write carries what the lamps show, i.e. all eight captions: it repeats the first
// when the captions agree with the board and overrides it when they do not.
void Form::manualClickSequence(int relayNumber) {
    toggleRelay(relayNumber);
    settleAndReadBack();
    copyRelayCaptionToStepButton(relayNumber);
}

// Lamps from the captions, the settle pause, the second write, and the board read back into the
// current row and the step buttons.
void Form::settleAndReadBack() {
    showCaptionsOnLamps();
    pause_.pause(kSettlePauseMs);
    sendLampsToBoard();
    writeBoardPatternToCurrentRow();
    showBoardOnStepButtons();
    player_.composeCurrentRow();
}

// ---- "Timer Mode": the step editor
// ---------------------------------------------------------------- A step button is on or off for
// its relay. Editing is live: every change goes to the board at once and comes back from it.

// The current row takes the pattern the board reports after the write, not the buttons' own.
void Form::clickStepButton(int relayNumber) {
    const Model::Lock lock(model_);
    RelayView& view = relay(relayNumber);
    if (!view.stepOn) {
        std::uint8_t byte = devices::relayEntry(relayNumber).mask;
        for (const devices::RelayMapEntry& entry : devices::kRelayMap)
            if (relay(entry.relay).stepOn)
                byte |= entry.mask;
        board_.refuseBreach(devices::relayEntry(relayNumber).mask, byte);
    }
    view.stepOn = !view.stepOn;
    sendStepButtonsToBoard();
    showStepButtonsOnLamps();
    pause_.pause(kSettlePauseMs);
    writeBoardPatternToCurrentRow();
    player_.composeCurrentRow();
    showBoardOnCaptions();
    copyRelayCaptionToStepButton(relayNumber);
}

void Form::showBoardOnStepButtons() {
    board_.read();
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        relay(entry.relay).stepOn = board_.relayByte() & entry.mask;
}

// Leaves the row with its eight state characters alone; composing the current row always follows.
void Form::writeBoardPatternToCurrentRow() {
    board_.read();
    player_.setCurrentRowText(steps::patternOfByte(board_.relayByte()));
}

void Form::showStepButtonsOnLamps() {
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        RelayView& view = relay(entry.relay);
        view.lamp = view.stepOn ? Lamp::On : Lamp::Off;
    }
}

void Form::typeDelayText(const QString& text) {
    const Model::Lock lock(model_);
    player_.typeDelayText(text);
}

} // namespace model
