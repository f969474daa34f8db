#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>

#include "norva_core/markup.h"

using norva_core::markup::color_enabled;
using norva_core::markup::display_width;
using norva_core::markup::escape;
using norva_core::markup::render;
using norva_core::markup::strip;
using norva_core::markup::visible;

TEST(Markup, StripsKnownTagsWithoutColor) {
    EXPECT_EQ(strip("[red]Docker daemon is not running.[/red]"), "Docker daemon is not running.");
    EXPECT_EQ(strip("Run [bold]norva compute disconnect[/bold] now"),
              "Run norva compute disconnect now");
    EXPECT_EQ(strip("[bold red]x[/bold red] [dim]y[/]"), "x y");
}

TEST(Markup, KeepsUnknownBracketsLiteral) {
    EXPECT_EQ(strip("list[0] and [not a style] and [/nothing-open]"),
              "list[0] and [not a style] and [/nothing-open]");
    EXPECT_EQ(strip("[/]"), "[/]");
    EXPECT_EQ(strip("unclosed [red"), "unclosed [red");
}

TEST(Markup, EscapedDataCannotInjectStyles) {
    std::string body = "[red]boom[/red] \\[x]";
    EXPECT_EQ(strip("[yellow]" + escape(body) + "[/yellow]"), body);
    EXPECT_EQ(render(escape("[bold]"), true), "[bold]");
}

TEST(Markup, RendersNestedStylesAsAnsi) {
    EXPECT_EQ(render("[red]a[bold]b[/bold]c[/red]", true),
              "\x1b[0m\x1b[31ma\x1b[0m\x1b[31m\x1b[1mb\x1b[0m\x1b[31mc\x1b[0m");
    EXPECT_EQ(render("[bold red]x", true), "\x1b[0m\x1b[1;31mx\x1b[0m");
}

TEST(Markup, ClosingTagClosesTheMatchingStyleNotTheLast) {
    EXPECT_EQ(render("[red][bold]a[/red]b[/bold]", true),
              "\x1b[0m\x1b[31m\x1b[0m\x1b[31m\x1b[1ma\x1b[0m\x1b[1mb\x1b[0m");
}

TEST(Markup, ColourFollowsTheEnvironment) {
    std::FILE* not_a_terminal = std::tmpfile();
    unsetenv("FORCE_COLOR");
    unsetenv("NO_COLOR");
    EXPECT_FALSE(color_enabled(not_a_terminal));
    setenv("FORCE_COLOR", "1", 1);
    EXPECT_TRUE(color_enabled(not_a_terminal));
    unsetenv("FORCE_COLOR");
    setenv("NO_COLOR", "1", 1);
    EXPECT_FALSE(color_enabled(not_a_terminal));
    unsetenv("NO_COLOR");
    std::fclose(not_a_terminal);
}

TEST(Markup, WidthCountsCharactersNotBytes) {
    EXPECT_EQ(display_width("abc"), 3u);
    EXPECT_EQ(display_width("Zürich — ok"), 11u);
}

TEST(Markup, OutsideTextCannotControlTheTerminal) {
    EXPECT_EQ(visible("a\x1b[2Jb\x07"
                      "c\x7f"),
              "a\\x1b[2Jb\\x07c\\x7f");
    // C1 as a code point and as a lone byte; tab, line end and other text stay.
    EXPECT_EQ(visible("\xc2\x9b"
                      "1m \x9b\tZürich —\n"),
              "\\x9b1m \\x9b\tZürich —\n");
    EXPECT_EQ(visible("\xc2\xa0"), "\xc2\xa0");
    // A cut sequence: its lead byte is no control, its lone continuation byte is C1.
    EXPECT_EQ(visible("cut \xe2\x80"), "cut \xe2\\x80");
    // Data embedded in markup gets both.
    EXPECT_EQ(escape("[red]\x1b]0;x\x07"), "\\[red]\\x1b]0;x\\x07");
    EXPECT_EQ(render(escape("\x1b[31m"), true).find('\x1b' + std::string("[31m")),
              std::string::npos);
}
