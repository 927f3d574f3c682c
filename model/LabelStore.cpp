#include "model/LabelStore.h"

#include "devices/RelayMap.h"
#include "model/LabelFile.h"
#include "model/Latin1.h"

namespace model {

LabelStore::LabelStore()
    : table_(labels::defaultLabels()) {} // until load() reads labels.dat

void LabelStore::load() {
    table_ = labels::readLabelsFile(labels::kLabelsFileName);
}

void LabelStore::save() {
    saver_.save(labels::kLabelsFileName, table_);
}

// Every pick saves the label table, as every mouse press on a relay or step button does.
RelayLabels LabelStore::pick(int relay) {
    editedRelay_ = relay;
    save();
    return {latin1::text(onLabel(relay)), latin1::text(offLabel(relay))};
}

// Each text is cut to 18 characters. No caption, lamp or file changes.
void LabelStore::store(const RelayLabels& edited) {
    if (editedRelay_ < 1 || editedRelay_ > devices::kRelayCount)
        return;
    const devices::RelayMapEntry& entry = devices::relayEntry(editedRelay_);
    table_.at(static_cast<std::size_t>(entry.onSlot)) =
        labels::labelBytes(edited.on, labels::kDialogLabelLength);
    table_.at(static_cast<std::size_t>(entry.offSlot)) =
        labels::labelBytes(edited.off, labels::kDialogLabelLength);
}

std::string LabelStore::onLabel(int relay) const {
    return table_.at(static_cast<std::size_t>(devices::relayEntry(relay).onSlot));
}

std::string LabelStore::offLabel(int relay) const {
    return table_.at(static_cast<std::size_t>(devices::relayEntry(relay).offSlot));
}

void LabelStore::showIn(Snapshot& shown) const {
    shown.labelTable = table_;
    shown.editedRelay = editedRelay_;
}

} // namespace model
