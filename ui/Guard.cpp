#include "ui/Guard.h"

#include <QString>

void reportHandlerFailure(Platform& platform, QWidget* owner, std::exception_ptr failure) {
    QString message;
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        message = QString::fromLocal8Bit(error.what());
    } catch (...) {
        message.clear(); // an unknown failure is shown with an empty message
    }
    platform.showError(owner, message);
}
