// The command shell: the console line editor, the command table (which also prints the help) and
// the commands' handlers.
#pragma once

#include <stdint.h>

// Main loop, each pass: console input while its reply has room, at most one command; the rest of
// a long reply (help) as the output drains.
void Shell_Process();
// No reply is still being written or waited on: the prompt may follow.
bool Shell_ReadyForPrompt();
// Characters of the line being typed.
uint8_t Shell_LineLength();
