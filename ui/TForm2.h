#pragma once

#include "model/Model.h"
#include "ui/Guard.h"
#include "ui/Platform.h"

#include <QWidget>

#include <functional>
#include <memory>

namespace Ui {
class TForm2;
}

// The "Setting" dialog that renames one relay: an edit for its ON label and one for its OFF label.
// It never blocks the main window, changes no caption and writes no file; OK or Enter returns the
// two texts (labelsApplied, which the main window stores and follows with the 50 ms pause, as one
// action) and hides the dialog. It holds no labels of its own.
class TForm2 : public QWidget {
    Q_OBJECT
public:
    explicit TForm2(Platform& platform, QWidget* parent = nullptr);
    ~TForm2() override;

    Ui::TForm2& controls() { return *ui; }

    // Puts a relay's two labels into the edits, replacing anything typed there.
    void loadEdits(const model::RelayLabels& labels);
    // The texts of the ON and OFF edits.
    model::RelayLabels editedLabels() const;

    void FormKeyPress(QChar key);
    void Button1Click();
    void Button1KeyPress(QChar key);
    void Edit1KeyPress(QChar key);
    void Edit2KeyPress(QChar key);

    void applyLabels();

signals:
    // The texts of the edits, as OK or Enter leaves them.
    void labelsApplied(const model::RelayLabels& edited);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void handle(const std::function<void()>& body) { runGuarded(platform_, this, body); }

    std::unique_ptr<Ui::TForm2> ui;
    Platform& platform_;
};
