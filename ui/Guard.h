#pragma once

#include "ui/Platform.h"

#include <exception>
#include <utility>

class QWidget;

// Runs one event handler so that no exception crosses the Qt event loop: a range error, or any
// other failure, stops the handler where it happened and is shown in the standard error message
// box; what the handler had changed before stays changed.
void reportHandlerFailure(Platform& platform, QWidget* owner, std::exception_ptr failure);

template <typename Handler> void runGuarded(Platform& platform, QWidget* owner, Handler&& handler) {
    try {
        std::forward<Handler>(handler)();
    } catch (...) {
        reportHandlerFailure(platform, owner, std::current_exception());
    }
}
