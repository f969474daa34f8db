#include "norva_core/console.h"

#include "term/console_shared.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "norva_core/interrupt.h"
#include "norva_core/markup.h"

namespace norva_core::console {

Console::Console(std::FILE* stream) : shared_(std::make_shared<Shared>()) {
    shared_->stream = stream;
    shared_->color = markup::color_enabled(stream);
    shared_->terminal = isatty(fileno(stream)) == 1;
}

Console::~Console() = default;

bool Console::color() const {
    return shared_->color;
}

void Console::print(std::string_view text) {
    shared_->write(markup::render(text, shared_->color) + "\n");
}

void Console::print(const Table& table) {
    shared_->write(table.render(shared_->color));
}

void Console::print_json(const nlohmann::ordered_json& value) {
    shared_->write(value.dump(2) + "\n");
}

void Console::log(std::string_view text) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    shared_->write("[" + std::string(stamp) + "] " + markup::render(text, shared_->color) + "\n");
}

Status Console::status(std::string text) {
    return Status(*this, std::move(text));
}

struct Status::Spinner {
    std::shared_ptr<Console::Shared> shared;
    std::string text;
    std::mutex wake_mutex;
    std::condition_variable wake;
    bool done = false;
    std::thread thread;

    void draw(std::size_t frame) {
        static constexpr const char* frames[] = {"⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧", "⠇", "⠏"};
        std::lock_guard lock(shared->mutex);
        std::string line =
            "\r\x1b[2K" +
            markup::render("[green]" + std::string(frames[frame % 10]) + "[/] ", shared->color) +
            markup::render(text, shared->color);
        std::fputs(line.c_str(), shared->stream);
        std::fflush(shared->stream);
        shared->status_drawn = true;
    }

    void run() {
        std::unique_lock lock(wake_mutex);
        for (std::size_t frame = 0; !done; ++frame) {
            lock.unlock();
            draw(frame);
            lock.lock();
            wake.wait_for(lock, std::chrono::milliseconds(80), [this] { return done; });
        }
    }
};

Status::Status(Console& console, std::string text) {
    if (!console.shared_->terminal) {
        return;
    }
    spinner_ = std::make_unique<Spinner>();
    spinner_->shared = console.shared_;
    spinner_->text = std::move(text);
    // Signals must reach the command's own thread, not this one.
    interrupt::BlockedInThreads blocked;
    spinner_->thread = std::thread([spinner = spinner_.get()] { spinner->run(); });
}

Status::~Status() {
    if (!spinner_) {
        return;
    }
    {
        std::lock_guard lock(spinner_->wake_mutex);
        spinner_->done = true;
    }
    spinner_->wake.notify_all();
    spinner_->thread.join();
    std::lock_guard lock(spinner_->shared->mutex);
    if (spinner_->shared->status_drawn) {
        std::fputs("\r\x1b[2K", spinner_->shared->stream);
        std::fflush(spinner_->shared->stream);
        spinner_->shared->status_drawn = false;
    }
}

}  // namespace norva_core::console
