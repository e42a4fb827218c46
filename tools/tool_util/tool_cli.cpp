#include "tools/tool_util/tool_cli.h"

#include <getopt.h>

#include <cstdio>

int ToolUsage::bad(const std::string &what) const {
    std::fprintf(stderr, "%s: %s\n%s", tool, what.c_str(), text);
    return 2;
}

std::string tool_option_error(int c, char **argv) {
    return std::string(c == ':' ? "option " : "unknown option ") + argv[optind - 1] +
           (c == ':' ? " needs a value" : "");
}

bool tool_strip_comment(std::string &line) {
    if (size_t hash = line.find('#'); hash != std::string::npos)
        line.resize(hash);
    return line.find_first_not_of(" \t\r") == std::string::npos;
}
