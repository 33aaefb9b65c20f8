// What this process's control group allows it, read from cgroup v2 or v1 (hybrid layouts too):
// batch systems and containers set these limits, and the run sizes its threads and memory by them.
#pragma once

// The whole CPUs of the CPU quota, at least 1; 0 when there is no quota.
unsigned long cgroupCpuLimit();

// The bytes the memory limit leaves beside what the group uses now; 0 when there is no limit.
unsigned long cgroupMemoryLeft();
