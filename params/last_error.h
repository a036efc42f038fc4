// The server's description of the last exchange's outcome (its reply's
// errorD), as callers read it afterwards.
//
// Kept apart from the store because the store belongs to the exchange in
// flight: the next exchange empties it at its start, and a caller that got 0
// and then asked why must still be told the reason of its own exchange, not
// an empty text or the next reply's. One writer, the exchange (on the
// fetch's worker thread; never a caller's thread, which a terminal may end
// inside the write); any number of readers, which never wait and never
// see half of a record (a sequence count: a reader copies again while the
// writer is inside). A reader ended at any instruction leaves nothing behind.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pb {

// At most this many bytes of a description are kept (GetLastErrorDescription
// copies at most 255 bytes and a NUL).
constexpr std::size_t kLastErrorTextMax = 255;

// The writer only. `description` is cut to kLastErrorTextMax bytes.
void PublishErrorDescription(std::string_view description);

// Any thread; never waits for anything but a writer inside its few stores.
std::string PublishedErrorDescription();

}  // namespace pb
