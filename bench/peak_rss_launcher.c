/* Runs a command with its output discarded and prints "<wall ns> <peak RSS KiB>" of it.
 * The peak a child reports includes the memory of the process that started it, so the figure
 * of a command is only its own when it is started from a program as small as this one. */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

static long long now_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s COMMAND [ARGUMENT...]\n", argv[0]);
        return 2;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    long long started = now_ns();
    pid_t pid;
    if (posix_spawnp(&pid, argv[1], &actions, NULL, argv + 1, environ) != 0) {
        fprintf(stderr, "cannot run %s\n", argv[1]);
        return 1;
    }
    int status;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) {
        return 1;
    }
    long long wall = now_ns() - started;
    printf("%lld %ld\n", wall, usage.ru_maxrss);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
