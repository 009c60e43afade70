#include "IdentifierCounter.h"

#include <atomic>

namespace {

std::atomic<unsigned> counter{1};

unsigned nextOdd() {
    unsigned value = counter.load();
    unsigned next;
    do {
        unsigned odd = (value % 2 == 0) ? value + 1 : value;
        next = odd + 1;
        if (counter.compare_exchange_weak(value, next))
            return odd;
    } while (true);
}

} // namespace

void ResetMessageCounter() {
    counter.store(1);
}

std::uint8_t NextContextID() {
    return static_cast<std::uint8_t>(nextOdd());
}

std::uint16_t NextMessageID() {
    return static_cast<std::uint16_t>(nextOdd());
}

std::uint8_t NextAcceptID() {
    return static_cast<std::uint8_t>(counter.fetch_add(1));
}
