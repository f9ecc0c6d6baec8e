#include <cstdio>
#include <cstring>

#include "commands.h"

namespace {

struct Command {
    const char *name;
    int (*run)(int, char **);
    const char *usage;
};

constexpr Command k_commands[] = {
    {"tune", cmd_tune,
     "tune FREQ_HZ            what CLK1 emits for the four tones of a base frequency"},
    {"run", cmd_run, "run [options]           the beacon on the virtual board (run --help)"},
    {"demo", cmd_demo,
     "demo [--out DIR]        a frame from the PC's UTC clock: log, RF, WAV, picture"},
    {"live", cmd_live,
     "live [options]          the beacon in real time, this terminal its console"},
    {"encode", cmd_encode,
     "encode CALL LOC DBM [--mode M]  each frame sent in turn, a line of symbols (WSPR 162,\n"
     "                          FST4W 160; M: wspr, fst4w-120, -300, -900, -1800)"},
};

void Usage(FILE *out) {
    std::fprintf(out, "usage: wspr-sim COMMAND [ARGS]\n\ncommands:\n");
    for (const Command &c : k_commands) {
        std::fprintf(out, "  %s\n", c.usage);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
        Usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 1 : 0;
    }
    for (const Command &c : k_commands) {
        if (std::strcmp(argv[1], c.name) == 0) {
            return c.run(argc - 2, argv + 2);
        }
    }
    std::fprintf(stderr, "wspr-sim: unknown command '%s'\n", argv[1]);
    Usage(stderr);
    return 1;
}
