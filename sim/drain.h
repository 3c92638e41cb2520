// Waiting for a reader to take what was written to a pseudo-terminal: the
// kernel discards unread input when the master side closes.
#pragma once

#include <chrono>
#include <functional>

// Returns once the slave side `slave` has no unread input, or at `until`,
// or as soon as `readerGone` (when given) says nobody will read any more.
void waitUntilTaken(int slave, std::chrono::steady_clock::time_point until,
                    const std::function<bool()>& readerGone = {});
