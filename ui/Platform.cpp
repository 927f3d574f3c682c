#include "ui/Platform.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>

void DesktopPlatform::pause(int milliseconds) {
    QThread::msleep(static_cast<unsigned long>(milliseconds));
}

QString DesktopPlatform::askOpenFileName(QWidget* parent) {
    return QFileDialog::getOpenFileName(parent);
}

QString DesktopPlatform::askSaveFileName(QWidget* parent, const QString& initialName) {
    // No overwrite prompt: saving replaces a file of the same name.
    return QFileDialog::getSaveFileName(parent, QString(), initialName, QString(), nullptr,
                                        QFileDialog::DontConfirmOverwrite);
}

void DesktopPlatform::showError(QWidget* parent, const QString& message) {
    QMessageBox::critical(parent, QApplication::applicationName(), message);
}
