#include <algorithm>

#include "norva_core/console.h"
#include "norva_core/markup.h"

namespace norva_core::console {
namespace {

std::string repeat(std::string_view piece, std::size_t count) {
    std::string out;
    out.reserve(piece.size() * count);
    for (std::size_t i = 0; i < count; ++i) {
        out += piece;
    }
    return out;
}

std::string rule(const std::vector<std::size_t>& widths, std::string_view left,
                 std::string_view middle, std::string_view right) {
    std::string line(left);
    for (std::size_t i = 0; i < widths.size(); ++i) {
        line += repeat("─", widths[i] + 2);
        line += i + 1 < widths.size() ? middle : right;
    }
    return line + "\n";
}

std::string row_line(const std::vector<std::string>& cells, const std::vector<std::size_t>& widths,
                     bool color, std::string_view style) {
    std::string line = "│";
    for (std::size_t i = 0; i < widths.size(); ++i) {
        std::string cell = i < cells.size() ? cells[i] : std::string();
        std::size_t width = markup::display_width(markup::strip(cell));
        std::string styled = style.empty() ? cell : "[" + std::string(style) + "]" + cell + "[/]";
        line += " " + markup::render(styled, color) + std::string(widths[i] - width, ' ') + " │";
    }
    return line + "\n";
}

}  // namespace

Table::Table(std::string title) : title_(std::move(title)) {}

void Table::add_column(std::string header) {
    headers_.push_back(std::move(header));
}

void Table::add_row(std::vector<std::string> cells) {
    rows_.push_back(std::move(cells));
}

std::string Table::render(bool color) const {
    std::vector<std::size_t> widths;
    for (const auto& header : headers_) {
        widths.push_back(markup::display_width(markup::strip(header)));
    }
    for (const auto& row : rows_) {
        for (std::size_t i = 0; i < std::min(row.size(), widths.size()); ++i) {
            widths[i] = std::max(widths[i], markup::display_width(markup::strip(row[i])));
        }
    }
    std::string out;
    if (!title_.empty()) {
        std::size_t total = 1;
        for (auto width : widths) {
            total += width + 3;
        }
        std::size_t title_width = markup::display_width(markup::strip(title_));
        std::size_t pad = title_width < total ? (total - title_width) / 2 : 0;
        out += std::string(pad, ' ') + markup::render("[italic]" + title_ + "[/]", color) + "\n";
    }
    out += rule(widths, "┌", "┬", "┐");
    out += row_line(headers_, widths, color, "bold");
    out += rule(widths, "├", "┼", "┤");
    for (const auto& row : rows_) {
        out += row_line(row, widths, color, "");
    }
    out += rule(widths, "└", "┴", "┘");
    return out;
}

}  // namespace norva_core::console
