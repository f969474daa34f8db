#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "norva_core/console.h"
#include "norva_core/markup.h"
#include "term/console_shared.h"

namespace norva_core::console {
namespace {

constexpr int BAR_WIDTH = 30;

std::string amount(ProgressUnit unit, double value) {
    if (unit == ProgressUnit::steps) {
        return fmt::format("{:.0f}", value);
    }
    static constexpr const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t index = 0;
    while (value >= 1024 && index + 1 < std::size(units)) {
        value /= 1024;
        ++index;
    }
    return index == 0 ? fmt::format("{:.0f} B", value)
                      : fmt::format("{:.1f} {}", value, units[index]);
}

std::string duration(double seconds) {
    long long whole = std::llround(seconds);
    if (whole >= 3600) {
        return fmt::format("{}:{:02}:{:02}", whole / 3600, whole / 60 % 60, whole % 60);
    }
    return fmt::format("{}:{:02}", whole / 60, whole % 60);
}

}  // namespace

std::string render_progress(std::string_view label, ProgressUnit unit, std::uint64_t done,
                            std::uint64_t total, double rate) {
    const char* per = unit == ProgressUnit::steps ? " steps/s" : "/s";
    std::string rate_text = rate > 0 ? amount(unit, rate) + per : "–" + std::string(per);
    std::string counted = unit == ProgressUnit::steps ? " steps" : "";
    if (total == 0) {
        return fmt::format("{} {}{} · {}", label, amount(unit, static_cast<double>(done)), counted,
                           rate_text);
    }
    done = std::min(done, total);
    double share = static_cast<double>(done) / static_cast<double>(total);
    int filled = static_cast<int>(share * BAR_WIDTH);
    std::string bar;
    for (int cell = 0; cell < BAR_WIDTH; ++cell) {
        bar += cell < filled ? "█" : "░";
    }
    std::string left = rate > 0 ? duration(static_cast<double>(total - done) / rate) : "–:––";
    return fmt::format("{} {} {:3.0f}% {}/{}{} · {} · {} left", label, bar, share * 100,
                       amount(unit, static_cast<double>(done)),
                       amount(unit, static_cast<double>(total)), counted, rate_text, left);
}

struct Progress::Bar {
    std::shared_ptr<Console::Shared> shared;
    std::string label;
    ProgressUnit unit;
    // The rate is measured from the first update, so that starting up does not count as slow.
    std::optional<std::pair<std::chrono::steady_clock::time_point, std::uint64_t>> first;
    std::chrono::steady_clock::time_point drawn{};
};

Progress::Progress(Console& console, std::string label, ProgressUnit unit) {
    if (!console.shared_->terminal) {
        return;
    }
    bar_ = std::make_unique<Bar>();
    bar_->shared = console.shared_;
    bar_->label = std::move(label);
    bar_->unit = unit;
}

Progress::~Progress() {
    if (!bar_) {
        return;
    }
    std::lock_guard lock(bar_->shared->mutex);
    if (bar_->shared->status_drawn) {
        std::fputs("\r\x1b[2K", bar_->shared->stream);
        std::fflush(bar_->shared->stream);
        bar_->shared->status_drawn = false;
    }
}

void Progress::update(std::uint64_t done, std::uint64_t total) {
    if (!bar_) {
        return;
    }
    auto now = std::chrono::steady_clock::now();
    if (!bar_->first) {
        bar_->first.emplace(now, done);
    }
    if (now - bar_->drawn < std::chrono::milliseconds(100)) {
        return;
    }
    bar_->drawn = now;
    auto [since, from] = *bar_->first;
    double seconds = std::chrono::duration<double>(now - since).count();
    double rate = seconds > 0 ? static_cast<double>(done - std::min(done, from)) / seconds : 0.0;
    std::string line =
        "\r\x1b[2K" +
        markup::render(markup::escape(render_progress(bar_->label, bar_->unit, done, total, rate)),
                       bar_->shared->color);
    std::lock_guard lock(bar_->shared->mutex);
    std::fputs(line.c_str(), bar_->shared->stream);
    std::fflush(bar_->shared->stream);
    bar_->shared->status_drawn = true;
}

}  // namespace norva_core::console
