// What the main functions of the router's peer programs share: the command line (options, the
// usage text, the exit status of a bad command line) and leaving the terminal.
#pragma once

#include <getopt.h>

#include <cstdio>
#include <functional>

struct PeerCommandLine {
    const char *name;             // prefix of the program's complaints: "hbusd: ..."
    void (*usage)(FILE *out);     // prints the usage text
    const char *short_options;    // getopt_long's option string
    const option *long_options;   // ended by an all-zero row
    int bad_usage_status = 1;     // exit status of a bad command line
    bool takes_operands = false;  // operands stay at argv[optind..] for the program
};

// Parses argv. on_option(code, optarg) takes every option but -h and --help, which print the
// usage on standard output. An unknown option, or an operand where the program takes none, prints
// the usage on standard error. Returns -1 when the program goes on, else its exit status: 0 after
// -h, bad_usage_status after a bad command line.
int peer_parse_options(const PeerCommandLine &cl, int argc, char **argv,
                       const std::function<void(int code, const char *arg)> &on_option);

// Leaves the terminal (daemon(0, 0)); false, after a complaint on standard error, when that
// failed.
bool peer_detach(const char *name);
