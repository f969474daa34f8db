#include "runtime/signal_names.h"

#include <csignal>

namespace norva_core {

std::string signal_description(int number) {
    switch (number) {
        case SIGHUP:
            return "Hangup";
        case SIGINT:
            return "Interrupt";
        case SIGQUIT:
            return "Quit";
        case SIGILL:
            return "Illegal instruction";
        case SIGTRAP:
            return "Trace/breakpoint trap";
        case SIGABRT:
            return "Aborted";
        case SIGBUS:
            return "Bus error";
        case SIGFPE:
            return "Floating point exception";
        case SIGKILL:
            return "Killed";
        case SIGUSR1:
            return "User defined signal 1";
        case SIGSEGV:
            return "Segmentation fault";
        case SIGUSR2:
            return "User defined signal 2";
        case SIGPIPE:
            return "Broken pipe";
        case SIGALRM:
            return "Alarm clock";
        case SIGTERM:
            return "Terminated";
        case SIGXCPU:
            return "CPU time limit exceeded";
        case SIGXFSZ:
            return "File size limit exceeded";
        case SIGSYS:
            return "Bad system call";
        default:
            return "signal " + std::to_string(number);
    }
}

}  // namespace norva_core
