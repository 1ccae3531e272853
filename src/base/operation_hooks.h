// What a long operation tells its caller while it runs. The exports pass
// none; tests count pumps and the command-line tool draws the progress of a
// move.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace vorn {

struct OperationHooks {
    using Pumped = void (*)(void* context);
    using Moved = void (*)(void* context, std::uint64_t done, std::uint64_t total);

    Pumped pumped = nullptr;  // after every PumpMessages
    Moved moved = nullptr;    // after every chunk of a tail move, and once more with done == total
    void* context = nullptr;

    // Drains the thread's window messages, then tells the observer.
    void Pump() const {
        platform::PumpMessages();
        if (pumped != nullptr) pumped(context);
    }
    void Move(std::uint64_t done, std::uint64_t total) const {
        if (moved != nullptr) moved(context, done, total);
    }
};

}  // namespace vorn
