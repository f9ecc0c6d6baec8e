#include "options.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace cli {

void PrintUsage(FILE *out, const char *command, const char *args,
                const std::vector<Option> &options) {
    std::fprintf(out, "usage: wspr-sim %s %s\n", command, args);
    for (const Option &o : options) {
        std::string left = std::string("  ") + o.name;
        if (o.value != nullptr) {
            left += std::string(" ") + o.value;
        }
        const std::string help = o.help;
        size_t from = 0;
        bool first = true;
        while (from <= help.size()) {
            const size_t nl = help.find('\n', from);
            const std::string line = help.substr(from, nl == std::string::npos ? nl : nl - from);
            std::fprintf(out, "%-27s %s\n", first ? left.c_str() : "", line.c_str());
            first = false;
            if (nl == std::string::npos) {
                break;
            }
            from = nl + 1;
        }
    }
}

int Parse(const char *command, const char *args, const std::vector<Option> &options, int argc,
          char **argv, std::vector<const char *> *positional) {
    std::vector<const Option *> seen;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            PrintUsage(stdout, command, args, options);
            return 0;
        }
        const Option *option = nullptr;
        for (const Option &o : options) {
            if (arg == o.name) {
                option = &o;
            }
        }
        if (option == nullptr) {
            if (positional != nullptr && (arg.empty() || arg[0] != '-')) {
                positional->push_back(argv[i]);
                continue;
            }
            std::fprintf(stderr, "wspr-sim %s: unknown option %s\n", command, arg.c_str());
            PrintUsage(stderr, command, args, options);
            return 1;
        }
        if (!option->repeatable && std::find(seen.begin(), seen.end(), option) != seen.end()) {
            std::fprintf(stderr, "wspr-sim %s: %s given twice\n", command, option->name);
            return 1;
        }
        seen.push_back(option);
        const char *value = nullptr;
        if (option->value != nullptr) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "wspr-sim %s: %s: missing value %s\n", command, option->name,
                             option->value);
                return 1;
            }
            value = argv[++i];
        }
        std::string error;
        if (!option->take(value, error)) {
            std::fprintf(stderr, "wspr-sim %s: %s %s\n", command, option->name, error.c_str());
            return 1;
        }
    }
    return -1;
}

bool ReadInputFile(const std::string &path, size_t max_bytes, std::string &content,
                   std::string &error) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        (void)std::fclose(f);
        error = path + " is not a regular file";
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > max_bytes) {
        (void)std::fclose(f);
        error = path + " is larger than " + std::to_string(max_bytes) + " bytes";
        return false;
    }
    content.clear();
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        content.append(buf, n);
        if (content.size() > max_bytes) { // grew while it was read
            (void)std::fclose(f);
            error = path + " is larger than " + std::to_string(max_bytes) + " bytes";
            return false;
        }
    }
    const bool ok = std::ferror(f) == 0;
    (void)std::fclose(f);
    if (!ok) {
        error = "cannot read " + path;
    }
    return ok;
}

Output::~Output() {
    std::string ignored;
    Close(ignored);
}

bool Output::Open(const std::string &path, std::string &error) {
    if (path == "-") {
        UseStdout();
        return true;
    }
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    return true;
}

void Output::UseStdout() {
    file_ = stdout;
    is_stdout_ = true;
    path_ = "standard output";
}

bool Output::Close(std::string &error) {
    if (file_ == nullptr) {
        return true;
    }
    bool ok = std::fflush(file_) == 0 && std::ferror(file_) == 0;
    if (!is_stdout_) {
        ok = std::fclose(file_) == 0 && ok;
    }
    file_ = nullptr;
    if (!ok) {
        error = "cannot write " + path_ + ": " + std::strerror(errno);
    }
    return ok;
}

} // namespace cli
