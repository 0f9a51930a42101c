#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace bench {

struct SyscallCount
{
    std::int64_t calls = 0;
    // Per system call, most first.
    std::vector<std::pair<std::string, std::int64_t>> byName;
};

// Counts the system calls that one thread makes while `work` runs, with
// `strace -c -p TID`: without -f, so that only that thread is traced, not
// the other threads of its process. False, with the reason, when strace is
// missing or cannot attach, or `work` fails.
bool countSyscalls(pid_t thread, const std::function<bool()> &work, SyscallCount *count, std::string *error);

} // namespace bench
