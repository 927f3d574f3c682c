#pragma once

#include "model/LabelSaver.h"
#include "model/LabelTable.h"
#include "model/Snapshot.h"

#include <string>

namespace model {

// The sixteen labels the relays are shown with, the relay whose labels the label dialog edits,
// and labels.dat, written by a thread of its own. It has no lock of its own; the model's guards
// it.
class LabelStore {
public:
    LabelStore();

    // Starts the label writer now, rather than under the lock of the first press that saves.
    void startWriter() { saver_.start(); }
    void load();
    // A save that fails is silent: the labels stay in the table and the next save tries again.
    void save();
    // Waits until the saved labels are on the disk. Never call it with the model's lock held.
    void flush() { saver_.flush(); }
    // The relay the label dialog will edit; its labels as the dialog shows them.
    RelayLabels pick(int relay);
    // The texts, cut to the dialog's length, become the picked relay's labels.
    void store(const RelayLabels& edited);

    std::string onLabel(int relay) const;
    std::string offLabel(int relay) const;
    void showIn(Snapshot& shown) const;

private:
    labels::LabelTable table_;
    int editedRelay_ = 0; // relay 1..8 whose labels the label dialog edits
    labels::LabelSaver saver_;
};

} // namespace model
