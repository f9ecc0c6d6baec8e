// What every wspr-sim command reads its command line and files with: one number parser with
// range checks, options declared once as a table (the usage is printed from the same table), input
// files that must be regular files of bounded size, and outputs whose every write is checked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "numbers.h"

namespace cli {

using sim::ParseClock;
using sim::ParseDecimal;
using sim::ParseWhole;

struct Option {
    const char *name;  // "--until"
    const char *value; // "MS", or nullptr for an option without a value
    const char *help;  // may hold several lines ('\n')
    // Takes the value (nullptr for a flag); on a refusal, says why in `error` (the option's name is
    // added in front).
    std::function<bool(const char *value, std::string &error)> take;
    bool repeatable = false; // may be given more than once (each adds one); others only once
};

// "usage: wspr-sim COMMAND ARGS" and a line (or more) per option.
void PrintUsage(FILE *out, const char *command, const char *args,
                const std::vector<Option> &options);

// Reads the options; arguments that are not options go to `positional`, when given (otherwise
// they are refused). An option that is not repeatable is refused the second time. -h or --help
// prints the usage to standard output. Returns -1 to go on, or the status to exit with (0 after
// help, 1 after a refusal, reported on standard error).
int Parse(const char *command, const char *args, const std::vector<Option> &options, int argc,
          char **argv, std::vector<const char *> *positional = nullptr);

// An input file: a regular file (not a folder, device or pipe) of at most max_bytes.
bool ReadInputFile(const std::string &path, size_t max_bytes, std::string &content,
                   std::string &error);

// An output file, or standard output for "-" (or when none is given): every write is checked, and
// Close reports whether everything reached the file.
class Output {
  public:
    Output() = default;
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    ~Output();

    bool Open(const std::string &path, std::string &error); // "-": standard output
    void UseStdout();
    FILE *File() const { return file_; }
    bool IsOpen() const { return file_ != nullptr; }
    // Flushes and closes (standard output is only flushed); false when any write failed.
    bool Close(std::string &error);

  private:
    FILE *file_ = nullptr;
    bool is_stdout_ = false;
    std::string path_;
};

} // namespace cli
