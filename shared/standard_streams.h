// Descriptors 0, 1 and 2 must be open before a command opens anything else:
// a port or file that took one of those numbers would receive what the
// command prints (a verdict written to the box, a device echoing itself).
#pragma once

// Opens /dev/null on whichever of descriptors 0 to 2 is closed. False on a
// machine without /dev/null: the command then ends with status 1, before
// anything is opened.
bool ensureStandardStreams();

