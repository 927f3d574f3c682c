#include "ui/Guard.h"

#include "model/Failure.h"

#include <QString>

// An unknown failure is shown with an empty message.
void reportHandlerFailure(Platform& platform, QWidget* owner, std::exception_ptr failure) {
    platform.showError(owner, QString::fromLocal8Bit(model::failureText(failure)));
}
