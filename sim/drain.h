// Waiting for a reader to take what was written to a pseudo-terminal: the
// kernel discards unread input when the master side closes.
#pragma once

#include <functional>

#include "clock.h"

// Returns at `until` at the latest. With `readerDone` (true once the reader
// has taken everything or is gone), as soon as it says so. Without it, once
// the slave side `slave` has had no unread input for long enough that bytes
// still on their way through the kernel would have shown up.
void waitUntilTaken(int slave, Deadline until, const std::function<bool()>& readerDone = {});
