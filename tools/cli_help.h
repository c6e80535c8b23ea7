// The tool's help text, for a terminal and for the man page. Only the
// command-line parser includes this (it brings in CLI11).
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace cli {

// Help laid out for 80 columns, with CLI11's own notation (flag defaults in
// braces, "Excludes:" in the option column, validators glued to the value
// name) turned into words a reader expects from a man page.
class HelpFormatter : public CLI::Formatter {
  public:
    std::string make_option(const CLI::Option* opt, bool is_positional) const override;
    std::string make_option_name(const CLI::Option* opt, bool is_positional) const override;
    std::string make_option_opts(const CLI::Option* opt) const override;
    std::string make_option_desc(const CLI::Option* opt) const override;
    std::string make_subcommand(const CLI::App* sub) const override;
};

// text in lines of at most width columns (a longer word keeps a line of its own).
std::vector<std::string> wrap_words(const std::string& text, size_t width);

// The man page's COMMANDS and COMMON OPTIONS sections as a help2man include
// file: each option once, under its command when only one command has it,
// else among the common options, a variant per wording where the commands
// describe it differently.
std::string man_sections(const CLI::App& app);

}  // namespace cli
