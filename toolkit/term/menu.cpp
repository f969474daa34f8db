#include <unistd.h>

#include <charconv>

#include "norva_core/console.h"
#include "norva_core/markup.h"
#include "norva_core/unique_fd.h"
#include "term/terminal.h"

namespace norva_core::console {
namespace {

constexpr int input_fd = STDIN_FILENO;
constexpr int screen_fd = STDERR_FILENO;

enum class Key { up, down, choose, cancel, other };

Key read_key() {
    auto byte = term::read_byte(input_fd, -1);
    if (!byte) {
        return Key::cancel;
    }
    switch (*byte) {
        case '\r':
        case '\n':
            return Key::choose;
        case 'k':
            return Key::up;
        case 'j':
            return Key::down;
        case 'q':
        case 0x03:  // Ctrl-C arrives as a byte in raw mode
            return Key::cancel;
        case 0x1b: {
            // A lone Esc cancels; Esc [ A / Esc O A and friends are the arrow keys.
            auto next = term::read_byte(input_fd, 50);
            if (!next) {
                return Key::cancel;
            }
            if (*next != '[' && *next != 'O') {
                return Key::other;
            }
            auto code = term::read_byte(input_fd, 50);
            if (code == 'A') {
                return Key::up;
            }
            if (code == 'B') {
                return Key::down;
            }
            return Key::other;
        }
        default:
            return Key::other;
    }
}

// Hides the cursor while the menu is drawn and always shows it again.
class HiddenCursor {
  public:
    HiddenCursor() { write_all(screen_fd, "\x1b[?25l"); }
    ~HiddenCursor() { write_all(screen_fd, "\x1b[?25h"); }
    HiddenCursor(const HiddenCursor&) = delete;
    HiddenCursor& operator=(const HiddenCursor&) = delete;
};

std::string draw(const std::string& title, const std::vector<std::string>& entries,
                 std::size_t cursor, bool color) {
    std::string frame =
        "\r\x1b[2K" + markup::render("[bold]" + markup::escape(title) + "[/]", color) + "\n";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::string entry = markup::escape(entries[i]);
        frame += "\r\x1b[2K" +
                 (i == cursor ? markup::render("[cyan]> " + entry + "[/]", color)
                              : "  " + markup::strip(entry)) +
                 "\n";
    }
    return frame;
}

std::optional<std::size_t> show_interactive(const std::string& title,
                                            const std::vector<std::string>& entries) {
    bool color = markup::color_enabled(stderr);
    term::RawMode raw(input_fd);
    HiddenCursor hidden;
    std::size_t cursor = 0;
    std::string move_back = "\x1b[" + std::to_string(entries.size() + 1) + "A";
    write_all(screen_fd, draw(title, entries, cursor, color));
    std::optional<std::size_t> chosen;
    for (bool open = true; open;) {
        switch (read_key()) {
            case Key::up:
                cursor = cursor == 0 ? entries.size() - 1 : cursor - 1;
                break;
            case Key::down:
                cursor = (cursor + 1) % entries.size();
                break;
            case Key::choose:
                chosen = cursor;
                open = false;
                break;
            case Key::cancel:
                open = false;
                break;
            case Key::other:
                continue;
        }
        write_all(screen_fd, move_back + (open ? draw(title, entries, cursor, color) : "\x1b[J"));
    }
    return chosen;
}

std::optional<std::size_t> parse_choice(const std::string& line, std::size_t count) {
    std::size_t number = 0;
    auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), number);
    if (error != std::errc() || end != line.data() + line.size() || number < 1 || number > count) {
        return std::nullopt;
    }
    return number - 1;
}

std::optional<std::size_t> show_numbered(const std::string& title,
                                         const std::vector<std::string>& entries) {
    std::string listing = title + "\n";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        listing += "  " + std::to_string(i + 1) + ") " + markup::visible(entries[i]) + "\n";
    }
    write_all(screen_fd, listing);
    for (;;) {
        write_all(screen_fd, "Enter a number (empty to cancel): ");
        auto line = term::read_line(input_fd);
        if (!line || line->empty()) {
            return std::nullopt;
        }
        if (auto choice = parse_choice(*line, entries.size())) {
            return choice;
        }
        write_all(screen_fd,
                  "Please enter a number from 1 to " + std::to_string(entries.size()) + ".\n");
    }
}

}  // namespace

TerminalMenu::TerminalMenu(std::vector<std::string> entries, std::string title)
    : entries_(std::move(entries)), title_(std::move(title)) {}

std::optional<std::size_t> TerminalMenu::show() {
    if (entries_.empty()) {
        return std::nullopt;
    }
    if (isatty(input_fd) == 1 && isatty(screen_fd) == 1) {
        return show_interactive(title_, entries_);
    }
    return show_numbered(title_, entries_);
}

std::string prompt(std::string_view text, std::string_view default_value) {
    write_all(screen_fd, std::string(text) + " [" + std::string(default_value) + "]: ");
    auto line = term::read_line(input_fd);
    if (!line) {
        write_all(screen_fd, "\n");
    }
    if (!line || line->empty()) {
        return std::string(default_value);
    }
    return *line;
}

std::optional<std::string> prompt_secret(std::string_view text) {
    write_all(screen_fd, std::string(text) + ": ");
    std::optional<std::string> line;
    {
        term::NoEcho quiet(input_fd);
        line = term::read_line(input_fd);
    }
    write_all(screen_fd, "\n");
    return line;
}

}  // namespace norva_core::console
