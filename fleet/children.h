// Checks run as children that the fleet alone ends.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// The check command: "check-quarvo" beside this program's own executable,
// else the first executable one on PATH; empty when there is none.
std::string children_findCheck();

// Starts `program` with `args` (its name first) in a process group of its
// own, with default signal actions, a SIGTERM should `parent` end, the
// standard input on /dev/null and the standard output and error on
// `outputFd`. The pid, or -1 with errno set when no process could be made.
// A program that cannot be run writes why on `outputFd` ("WHO: starting
// PROGRAM failed: ...") and exits with 127.
pid_t children_start(const std::string& program, const std::vector<std::string>& args, int outputFd, pid_t parent,
    const std::string& who);
