#pragma once

#include <cstdio>
#include <mutex>
#include <string_view>

#include "norva_core/console.h"

namespace norva_core::console {

// What the console and a live status or progress line share: the stream, and whether such a line
// is drawn, so that printed text first clears it.
struct Console::Shared {
    std::FILE* stream;
    bool color;
    bool terminal;
    std::mutex mutex;
    bool status_drawn = false;

    void write_locked(std::string_view text) {
        if (status_drawn) {
            std::fputs("\r\x1b[2K", stream);
            status_drawn = false;
        }
        std::fwrite(text.data(), 1, text.size(), stream);
        std::fflush(stream);
    }

    void write(std::string_view text) {
        std::lock_guard lock(mutex);
        write_locked(text);
    }
};

}  // namespace norva_core::console
