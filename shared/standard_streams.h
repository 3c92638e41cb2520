// Descriptors 0, 1 and 2 must be open before a command opens anything else:
// a port or file that took one of those numbers would receive what the
// command prints (a verdict written to the box, a device echoing itself).
#pragma once

// Opens /dev/null on whichever of descriptors 0 to 2 is closed. A machine
// without /dev/null ends the process with status 1, before anything is opened.
void ensureStandardStreams();

// For programs that end on a signal at their next wait: a write that is stuck
// on output nobody takes (a stopped pager, a paused screen, a full pipe)
// would keep them from getting there. Once installed, startWriteNudges()
// (async-signal-safe, for the ending signal's handler) interrupts whatever
// write is stuck, once a second, until the program ends or stopWriteNudges().
void installWriteNudges();
void startWriteNudges();
void stopWriteNudges();
