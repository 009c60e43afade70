#pragma once
// The process-wide counter behind presentation context IDs and message IDs. Each association
// restarts it; concurrent associations share it, so IDs are odd within one association but
// not unique across several.

#include <cstdint>

void ResetMessageCounter();
// Odd values: an even counter is stepped first.
std::uint8_t NextContextID();
std::uint16_t NextMessageID();
// Drawn for every accepted-context record read from an A-ASSOCIATE-AC (no odd rule).
std::uint8_t NextAcceptID();
