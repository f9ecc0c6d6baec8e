#include <cstdio>

#include "commands.h"

int cmd_encode(int, char **) {
    std::fprintf(stderr, "wspr-sim encode: not built yet\n");
    return 1;
}
