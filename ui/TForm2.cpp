#include "ui/TForm2.h"

#include "ui/Controls.h"
#include "ui/Guard.h"
#include "ui_TForm2.h"

#include <QKeyEvent>
#include <QLabel>

namespace {

constexpr QChar kEnter(13);

bool isEnterKey(const QKeyEvent& event) {
    return event.key() == Qt::Key_Return || event.key() == Qt::Key_Enter;
}

} // namespace

TForm2::TForm2(Platform& platform, QWidget* parent)
    : QWidget(parent, Qt::Dialog)
    , ui(std::make_unique<Ui::TForm2>())
    , platform_(platform) {
    ui->setupUi(this);
    move(532, 228);
    setFixedSize(size());
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSize(8);
    setFont(font);
    setWindowIcon(programIcon());
    for (QLabel* label : {ui->Label1, ui->Label2})
        fitLabelToText(*label);
    for (TLabelEdit* edit : {ui->Edit1, ui->Edit2}) {
        edit->setTypedLimit(static_cast<int>(labels::kTypedLabelLength));
        edit->installEventFilter(this);
    }
    ui->Button1->installEventFilter(this);
    connect(ui->Button1, &QPushButton::clicked, this,
            [this] { handle([this] { Button1Click(); }); });
}

TForm2::~TForm2() = default;

void TForm2::loadEdits(const model::RelayLabels& labels) {
    ui->Edit1->setText(labels.on);
    ui->Edit2->setText(labels.off);
}

model::RelayLabels TForm2::editedLabels() const {
    return {ui->Edit1->text(), ui->Edit2->text()};
}

bool TForm2::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress || !isEnterKey(*static_cast<QKeyEvent*>(event)))
        return QWidget::eventFilter(watched, event);
    if (watched == ui->Edit1)
        handle([this] { Edit1KeyPress(kEnter); });
    else if (watched == ui->Edit2)
        handle([this] { Edit2KeyPress(kEnter); });
    else if (watched == ui->Button1)
        handle([this] { Button1KeyPress(kEnter); });
    else
        return QWidget::eventFilter(watched, event);
    return true;
}

void TForm2::keyPressEvent(QKeyEvent* event) {
    // Escape has no handler here, and a dialog's usual Escape-to-close does not apply.
    if (isEnterKey(*event))
        handle([this] { FormKeyPress(kEnter); });
    else if (event->key() != Qt::Key_Escape)
        QWidget::keyPressEvent(event);
}

void TForm2::FormKeyPress(QChar key) {
    if (key == kEnter)
        applyLabels();
}
void TForm2::Button1KeyPress(QChar key) {
    if (key == kEnter)
        applyLabels();
}
void TForm2::Edit1KeyPress(QChar key) {
    if (key == kEnter)
        applyLabels();
}
void TForm2::Edit2KeyPress(QChar key) {
    if (key == kEnter)
        applyLabels();
}
void TForm2::Button1Click() {
    applyLabels();
}

// The main window stores the texts in the edited relay's slots and pauses 50 ms, under its lock;
// then the dialog hides.
void TForm2::applyLabels() {
    emit labelsApplied(editedLabels());
    hide();
}
