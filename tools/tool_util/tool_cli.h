// What the router's command-line tools share: complaining about a bad command line, and reading
// line-oriented text input where '#' starts a comment.
#pragma once

#include <string>

// A tool's name and usage text.
struct ToolUsage {
    const char *tool;
    const char *text;

    // Prints "<tool>: <what>" and the usage text on standard error; returns the exit status of a
    // bad command line (2).
    int bad(const std::string &what) const;
};

// What getopt_long's return `c` (with opterr 0 and a leading ':' in the option string) says is
// wrong with argv[optind - 1]: an option without its value or an unknown option.
std::string tool_option_error(int c, char **argv);

// Cuts a '#' comment off the line; true when nothing but blanks is left.
bool tool_strip_comment(std::string &line);
