#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// Implemented in toolkit/term/markup.cpp.
namespace norva_core::markup {

// Renders inline style tags ("[red]", "[bold red]", "[/red]", "[/]") as ANSI styles, or strips
// them when color is false. Brackets that are not a known style are kept as literal text, and
// "\[" always stands for a literal "[".
std::string render(std::string_view text, bool color);

// The text with every tag removed, as it appears on a terminal.
std::string strip(std::string_view text);

// Makes data safe to embed in a message: its brackets can never be read as style tags, and its
// control characters are shown as visible() shows them.
std::string escape(std::string_view data);

// Data from outside as it may reach a terminal: control characters (C0 but tab and line end,
// DEL, C1) shown as "\xNN", so that they cannot move the cursor, retitle the terminal or hide
// text.
std::string visible(std::string_view data);

// Whether styles should be written to this stream: a terminal with NO_COLOR unset and TERM not
// "dumb", or FORCE_COLOR set.
bool color_enabled(std::FILE* stream);

// Width of the text in terminal columns.
std::size_t display_width(std::string_view plain_text);

}  // namespace norva_core::markup
