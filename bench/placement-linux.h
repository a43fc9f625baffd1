// Linux only: CPU placement of the benchmark's processes.
#pragma once

#include <sched.h>
#include <sys/types.h>

namespace bench {

// Puts a process (0: this one) on the n-th CPU it may use, or on all of
// them when n is negative.
inline bool place_on_cpu(pid_t pid, int n) {
  static const cpu_set_t allowed = [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof set, &set);
    return set;
  }();
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int cpu = 0, seen = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    if (n < 0 || seen++ == n) CPU_SET(cpu, &set);
  }
  return CPU_COUNT(&set) > 0 && sched_setaffinity(pid, sizeof set, &set) == 0;
}

}  // namespace bench
