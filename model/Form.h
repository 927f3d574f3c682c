#pragma once

#include "devices/RelayMap.h"
#include "model/BoardSession.h"
#include "model/LabelStore.h"
#include "model/Pause.h"
#include "model/Player.h"
#include "model/Snapshot.h"

#include <QString>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace model {

class Model;

// What only the window shows (the relay buttons' captions, the lamps, the step buttons and their
// captions, the board list's entry and text) and the window's click sequences. Scripts and the
// service never come here. Its operations take the model's lock; the rest runs under it.
class Form final : public Player::Stage {
public:
    // All of them outlive the form.
    Form(const Model& model, BoardSession& board, Player& player, LabelStore& labels, Pause& pause);

    // ---- the window's operations
    // The board list's chosen entry (-1 for none) and its edit text, which change together.
    void chooseBoardEntry(int entry, std::string listText);
    void openSelectedBoard();
    // A click that would turn a relay on beside another of its interlocked group is refused
    // (InterlockRefused), or under `switch` clicks the others off first and returns the dead time
    // after which finishSwitch(relay) turns it on.
    std::optional<std::chrono::milliseconds> clickRelayButton(int relay);
    // The relay held back by a switch goes on, if it is still off and nothing of its group went
    // on meanwhile.
    void finishSwitch(int relay);
    void switchAllRelays(bool on);
    void clickStepButton(int relay);
    // A user's edit of the delay text, which composes the current row within the same action.
    void typeDelayText(const QString& text);

    // ---- under the model's lock
    // A list that fills up selects its first entry and shows the list's own text.
    void listBoards(std::uint32_t count);
    void setBoardEntry(int entry) { boardEntry_ = entry; }
    // Every relay button and step button takes its caption from the labels.
    void showLabelsOnCaptions();
    // The views as clicks on each relay a written pattern switched would leave them.
    void showWrittenPattern(std::uint8_t before, std::uint8_t written);
    void showStepButton(int relay, bool on) override;
    void showRelay(int relay, bool on) override;
    void showIn(Snapshot& shown) const;

private:
    RelayView& relay(int relay) { return relays_.at(static_cast<std::size_t>(relay - 1)); }
    Lamp lampOf(int relay) const;
    void showBoardOnLamps();
    void sendLampsToBoard();
    void sendStepButtonsToBoard();
    void toggleRelay(int relay);
    bool showsOff(int relay) const;
    void allRelaysOn();
    void allRelaysOff();
    void showCaptionsOnLamps();
    void showBoardOnCaptions();
    void copyRelayCaptionToStepButton(int relay);
    void showBoardOnStepButtons();
    void writeBoardPatternToCurrentRow();
    void showStepButtonsOnLamps();
    void manualClickSequence(int relay);
    void settleAndReadBack();

    const Model& model_;
    BoardSession& board_;
    Player& player_;
    LabelStore& labels_;
    Pause& pause_;
    std::array<RelayView, devices::kRelayCount> relays_{};
    int boardEntry_ = -1; // the chosen entry, -1 for none
    // The list's edit text when a user changed it; otherwise the list's own text for the boards
    // found.
    std::optional<std::string> boardListText_;
};

} // namespace model
