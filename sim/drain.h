// Waiting for a reader to take what was written to a pseudo-terminal: the
// kernel discards unread input when the master side closes.
#pragma once

#include "clock.h"

// Returns once the slave side `slave` has had no unread input for long
// enough that bytes still on their way through the kernel would have shown
// up, or at `until` at the latest.
void waitUntilTaken(int slave, Deadline until);
