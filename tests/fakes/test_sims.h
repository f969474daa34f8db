#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace norva_test {

// A sim folder whose program is the test simulator in the given mode ("good", "slow",
// "outside", "nan", "crash", "notjson", "wrongid", "hang", the hostile "deepobs", "deepspace",
// "hugebox" and "longline", "big" and "coldstart"; "numflags" answers its flags as numbers,
// "walls" leaves its sensor space only near the walls, and "environ" tells in its reset info
// which of norva's credentials it was handed).
std::filesystem::path write_test_sim(const std::filesystem::path& parent, const std::string& mode,
                                     const std::string& name = "test-sim");
// The same, with a manifest that offers `instances` environments a process (batched).
std::filesystem::path write_batched_test_sim(const std::filesystem::path& parent,
                                             const std::string& mode, std::size_t instances);

// A sim folder "moving" holding its own copy of the test simulator ("good"), as "simulator",
// which a test may move away to make every start fail.
std::filesystem::path write_movable_test_sim(const std::filesystem::path& parent);

// What test simulators wrote to their TEST_SIM_LOG file.
std::vector<pid_t> logged_pids(const std::string& log_path);
std::vector<pid_t> logged_helper_pids(const std::string& log_path);
long logged_steps(const std::string& log_path);

// A process's state letter and parent, from /proc; nothing once it is gone.
struct ProcessStat {
    char state;
    pid_t parent;
};
std::optional<ProcessStat> process_stat(pid_t pid);

// True while the process runs, or lingers as an unreaped child of this test. A zombie that
// another parent (init) has yet to reap was ended and is no longer ours.
bool process_exists(pid_t pid);

// A TCP port on loopback that nothing listens on right now.
int free_port();

}  // namespace norva_test
