#include <cstdio>

#include "commands.h"

int cmd_tune(int, char **) {
    std::fprintf(stderr, "wspr-sim tune: not built yet\n");
    return 1;
}
