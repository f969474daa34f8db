#pragma once

#include <string>

namespace norva_core {

// What a signal that ended a process means, in the words a shell uses ("Killed",
// "Segmentation fault"). Safe on any thread, unlike strsignal.
std::string signal_description(int number);

}  // namespace norva_core
