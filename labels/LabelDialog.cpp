// Every mouse press on a relay button or a step button, by any mouse button, prepares the label
// dialog for that button's relay and saves the label table, before the button's click runs. A
// right press (or the keyboard's context-menu key) also shows the dialog.
#include "app/Controls.h"
#include "app/TForm1.h"
#include "labels/LabelStore.h"
#include "labels/TForm2.h"
#include "ui_TForm1.h"

void TForm1::Button2MouseDown(Qt::MouseButton b) {
    prepareLabelDialog(relayOf(*ui->Button2), b);
}
void TForm1::Button3MouseDown(Qt::MouseButton b) {
    prepareLabelDialog(relayOf(*ui->Button3), b);
}
void TForm1::Button1MouseDown(Qt::MouseButton b) {
    prepareLabelDialog(relayOf(*ui->Button1), b);
}
void TForm1::Button4MouseDown(Qt::MouseButton b) {
    prepareLabelDialog(relayOf(*ui->Button4), b);
}
void TForm1::Button5MouseDown(Qt::MouseButton b) {
    prepareLabelDialog(relayOf(*ui->Button5), b);
}
void TForm1::Button6MouseDown(Qt::MouseButton b) {
    prepareLabelDialog(relayOf(*ui->Button6), b);
}
void TForm1::Button7MouseDown(Qt::MouseButton b) {
    prepareLabelDialog(relayOf(*ui->Button7), b);
}
void TForm1::Button8MouseDown(Qt::MouseButton b) {
    prepareLabelDialog(relayOf(*ui->Button8), b);
}
void TForm1::Button11MouseDown(Qt::MouseButton b) {
    prepareLabelDialog(relayOf(*ui->Button11), b);
}
void TForm1::Button12MouseDown(Qt::MouseButton b) {
    prepareLabelDialog(relayOf(*ui->Button12), b);
}
void TForm1::Button13MouseDown(Qt::MouseButton b) {
    prepareLabelDialog(relayOf(*ui->Button13), b);
}
void TForm1::Button14MouseDown(Qt::MouseButton b) {
    prepareLabelDialog(relayOf(*ui->Button14), b);
}
void TForm1::Button15MouseDown(Qt::MouseButton b) {
    prepareLabelDialog(relayOf(*ui->Button15), b);
}
void TForm1::Button16MouseDown(Qt::MouseButton b) {
    prepareLabelDialog(relayOf(*ui->Button16), b);
}
void TForm1::Button17MouseDown(Qt::MouseButton b) {
    prepareLabelDialog(relayOf(*ui->Button17), b);
}
void TForm1::Button18MouseDown(Qt::MouseButton b) {
    prepareLabelDialog(relayOf(*ui->Button18), b);
}

void TForm1::setLabelDialog(TForm2* dialog) {
    labelDialog_ = dialog;
    if (dialog)
        connect(dialog, &TForm2::labelsApplied, this, &TForm1::storeEditedLabels);
}

// OK or Enter in the label dialog: the two texts, each cut to 18 characters, become the edited
// relay's ON and OFF labels. No caption, lamp or file changes.
void TForm1::storeEditedLabels(const QString& onText, const QString& offText) {
    const int relay = state_.editedRelay;
    if (relay < 1 || relay > board::kRelayCount)
        return;
    const board::RelayMapEntry& entry = board::relayEntry(relay);
    state_.labelTable.at(static_cast<std::size_t>(entry.onSlot)) =
        labels::labelBytes(onText, labels::kDialogLabelLength);
    state_.labelTable.at(static_cast<std::size_t>(entry.offSlot)) =
        labels::labelBytes(offText, labels::kDialogLabelLength);
}

void TForm1::prepareLabelDialog(int relay, Qt::MouseButton button) {
    state_.editedRelay = relay;
    if (labelDialog_) {
        labelDialog_->loadEdits(onLabel(relay), offLabel(relay));
        if (button == Qt::RightButton) {
            labelDialog_->show();
            labelDialog_->raise();
            labelDialog_->activateWindow();
        }
    }
    saveLabels();
}
