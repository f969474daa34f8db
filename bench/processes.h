#pragma once

#include <sys/types.h>

#include <vector>

namespace norva_bench {

// Resident memory of a process in KiB, from /proc.
long resident_kib(pid_t pid);

// The processes that descend from this one, children first.
std::vector<pid_t> descendants(pid_t pid);

// CPU time (user and system, every thread) that this process and the given others spend from
// construction to per_step(), with the children the others reaped meanwhile, divided over the
// steps taken: what a step costs the machine, whichever process pays.
class CpuPerStep {
  public:
    explicit CpuPerStep(std::vector<pid_t> others);
    double per_step_us(long steps) const;

  private:
    double spent_seconds() const;

    std::vector<pid_t> others_;
    double at_start_;
};

}  // namespace norva_bench
