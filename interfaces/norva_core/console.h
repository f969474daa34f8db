#pragma once

#include <nlohmann/json_fwd.hpp>

#include <concepts>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Implemented in toolkit/term/ (console, progress, table, menu).
namespace norva_core::console {

// A table as a value: rendering it gives text, so it can be checked without a terminal.
class Table {
  public:
    explicit Table(std::string title = {});

    void add_column(std::string header);
    void add_row(std::vector<std::string> cells);

    // Cells may carry style tags; they are rendered or stripped like any console text.
    std::string render(bool color) const;

  private:
    std::string title_;
    std::vector<std::string> headers_;
    std::vector<std::vector<std::string>> rows_;
};

class Console;

// A transient status line with a spinner, shown while it lives. It draws only on a terminal and
// leaves nothing behind.
class Status {
  public:
    Status(Console& console, std::string text);
    ~Status();
    Status(const Status&) = delete;
    Status& operator=(const Status&) = delete;

  private:
    struct Spinner;
    std::unique_ptr<Spinner> spinner_;
};

// What a progress bar counts.
enum class ProgressUnit { steps, bytes };

// One line of a progress bar: label, bar, share, count of total, rate (per second, 0 when not
// known yet) and time left. A plain value, so it is checked without a terminal; `total` 0 means
// not known.
std::string render_progress(std::string_view label, ProgressUnit unit, std::uint64_t done,
                            std::uint64_t total, double rate);

// A progress bar, redrawn at most ten times a second while it lives. Like Status it draws only
// on a terminal and is cleared at the end, so what is printed afterwards is unchanged.
class Progress {
  public:
    Progress(Console& console, std::string label, ProgressUnit unit);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void update(std::uint64_t done, std::uint64_t total);

  private:
    struct Bar;
    std::unique_ptr<Bar> bar_;
};

// Styled output to one stream: messages with style tags, tables, mappings, log lines.
class Console {
  public:
    explicit Console(std::FILE* stream = stdout);
    ~Console();

    void print(std::string_view text);
    void print(const Table& table);
    // A mapping, pretty-printed. Only a JSON value itself, so that text never turns into JSON.
    template <class Json>
    requires std::same_as<Json, nlohmann::ordered_json>
    void print(const Json& value) { print_json(value); }
    // "[HH:MM:SS] text"
    void log(std::string_view text);
    [[nodiscard]] Status status(std::string text);

    bool color() const;

  private:
    void print_json(const nlohmann::ordered_json& value);
    friend class Status;
    friend class Progress;
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

// A single-choice menu: arrow keys (or j/k) and Enter on a terminal, a numbered list and one
// typed line elsewhere.
class TerminalMenu {
  public:
    TerminalMenu(std::vector<std::string> entries, std::string title);

    // The chosen entry's index, or nothing when the user cancels.
    std::optional<std::size_t> show();

  private:
    std::vector<std::string> entries_;
    std::string title_;
};

// Asks for one value on the terminal, showing the default; an empty answer takes the default.
std::string prompt(std::string_view text, std::string_view default_value);

// Asks for a secret without showing what is typed; nothing at end of input.
std::optional<std::string> prompt_secret(std::string_view text);

}  // namespace norva_core::console
