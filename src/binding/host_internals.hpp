// The one place the module reaches into the host's private thread state: the stack of
// handled exceptions (_PyErr_StackItem, PyThreadState::exc_info), which the host's own
// coroutines push and pop around each run of their frame. The public API cannot do
// this: PyErr_SetHandledException writes the innermost entry, while
// PyErr_GetHandledException reads the topmost one that is not empty.
#pragma once

#include "binding/ref.hpp"

namespace smz {

// One entry of the thread's stack of handled exceptions.
using HandledItem = _PyErr_StackItem;

// The handled exception of the innermost entry on this thread's stack (the slot
// itself, which an `except` block sets while it runs).
inline PyObject*& innermost_handled() noexcept {
    return PyThreadState_Get()->exc_info->exc_value;
}

// Puts `item` on top of this thread's stack of handled exceptions for the life of the
// scope, and takes it off again.
class HandledItemScope {
public:
    explicit HandledItemScope(HandledItem* item) noexcept
        : thread_(PyThreadState_Get()), item_(item) {
        item_->previous_item = thread_->exc_info;
        thread_->exc_info = item_;
    }
    HandledItemScope(const HandledItemScope&) = delete;
    HandledItemScope& operator=(const HandledItemScope&) = delete;
    ~HandledItemScope() {
        thread_->exc_info = item_->previous_item;
        item_->previous_item = nullptr;
    }

private:
    PyThreadState* thread_;
    HandledItem* item_;
};

}  // namespace smz
