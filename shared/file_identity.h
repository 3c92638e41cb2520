// Whether two names, or two open descriptors, are one file: a device by its
// device number, anything else by its file system and inode, so that a link
// or another name counts as the same file.
#pragma once

// A name that does not exist yet (a dangling link too) is compared by name:
// its folder's resolved path plus its own name. The null device is never "the
// same" as anything: writing twice into it destroys nothing.
bool sameFile(const char* a, const char* b);

// The same for two open descriptors.
bool sameOpenFile(int a, int b);
