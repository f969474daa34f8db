#include <gtest/gtest.h>

#include "norva_core/console.h"

using norva_core::console::Table;

TEST(Table, RendersBoxWithColumnsSizedToTheWidestCell) {
    Table table;
    table.add_column("Name");
    table.add_column("Version");
    table.add_row({"cartpole", "3"});
    table.add_row({"x", "[green]12[/green]"});
    EXPECT_EQ(table.render(false),
              "┌──────────┬─────────┐\n"
              "│ Name     │ Version │\n"
              "├──────────┼─────────┤\n"
              "│ cartpole │ 3       │\n"
              "│ x        │ 12      │\n"
              "└──────────┴─────────┘\n");
}

TEST(Table, NeverTruncatesLongCellsAndFillsMissingOnes) {
    Table table("Sims");
    table.add_column("A");
    table.add_column("B");
    std::string long_cell(300, 'x');
    table.add_row({long_cell});
    std::string text = table.render(false);
    EXPECT_NE(text.find(long_cell), std::string::npos);
    EXPECT_NE(text.find("Sims"), std::string::npos);
    EXPECT_NE(text.find("│ " + long_cell + " │   │"), std::string::npos);
}

TEST(Table, StylesOnlyWhenAskedTo) {
    Table table;
    table.add_column("H");
    table.add_row({"[red]v[/red]"});
    EXPECT_EQ(table.render(false).find('\x1b'), std::string::npos);
    EXPECT_NE(table.render(true).find("\x1b[31m"), std::string::npos);
}
