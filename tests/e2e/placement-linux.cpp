#include "tests/e2e/placement-linux.h"

#include <sched.h>

namespace {

// The first CPU this process may run on.
int shared_cpu() {
  cpu_set_t set;
  CPU_ZERO(&set);
  sched_getaffinity(0, sizeof set, &set);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &set)) return cpu;
  return 0;
}

}  // namespace

bool place_process(Placement placement) {
  if (placement == Placement::kAnywhere) return true;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(shared_cpu(), &set);
  if (sched_setaffinity(0, sizeof set, &set) != 0) return false;
  if (placement == Placement::kRealtimeOnSharedCpu) {
    sched_param p{};
    p.sched_priority = 1;
    if (sched_setscheduler(0, SCHED_FIFO, &p) != 0) return false;
  }
  return true;
}
