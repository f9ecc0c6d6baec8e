// The wspr-sim subcommands. Each takes the arguments after its name and returns the exit status.
#pragma once

int cmd_tune(int argc, char **argv);
int cmd_encode(int argc, char **argv);
int cmd_run(int argc, char **argv);
int cmd_demo(int argc, char **argv);
int cmd_live(int argc, char **argv);
