#pragma once

#include "model/Pause.h"

#include <QString>

class QWidget;

// What the windows ask of the desktop beyond their own controls: the blocking pause of the
// user-interface thread, the common file dialogs and message boxes. The program uses the real
// ones; tests substitute a recorder that neither waits nor blocks.
class Platform : public model::Pause {
public:
    // Blocks the user-interface thread: no event, tick or repaint runs meanwhile.
    void pause(int milliseconds) override = 0;
    // The chosen file name, or an empty string when the user cancelled.
    virtual QString askOpenFileName(QWidget* parent) = 0;
    virtual QString askSaveFileName(QWidget* parent, const QString& initialName) = 0;
    virtual void showError(QWidget* parent, const QString& message) = 0;
};

class DesktopPlatform final : public Platform {
public:
    void pause(int milliseconds) override;
    QString askOpenFileName(QWidget* parent) override;
    QString askSaveFileName(QWidget* parent, const QString& initialName) override;
    void showError(QWidget* parent, const QString& message) override;
};
