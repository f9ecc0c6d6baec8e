// wspr-sim on a pseudo-terminal, as a person at a terminal uses it. `live`: the beacon greets, a
// typed command is answered, the status line shows state, LED and CLK1, Ctrl-K keys a frame,
// Ctrl-C ends it and the terminal is back in the mode it was in. `run`: a long run shows its
// progress on a terminal and not in a pipe.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

class TerminalSession {
  public:
    // wspr-sim with these arguments, its standard input, output and error the terminal.
    explicit TerminalSession(const std::string &args) {
        winsize ws{};
        ws.ws_row = 24;
        ws.ws_col = 100;
        if (openpty(&master_, &slave_, nullptr, nullptr, &ws) != 0) {
            return;
        }
        tcgetattr(slave_, &before_);
        pid_ = fork();
        if (pid_ == 0) {
            setsid();
            ioctl(slave_, TIOCSCTTY, 0);
            dup2(slave_, 0);
            dup2(slave_, 1);
            dup2(slave_, 2);
            close(master_);
            close(slave_);
            std::string command = std::string("exec ") + WSPR_SIM_PATH + " " + args;
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~TerminalSession() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) {
            close(master_);
            close(slave_);
        }
    }
    bool started() const { return pid_ > 0; }

    void Type(const std::string &text) {
        ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    // Reads the terminal until 'text' appears after offset 'from' of the console's output (or
    // of everything received, status line included, when 'raw').
    bool WaitFor(const std::string &text, size_t from, double seconds, bool raw = false) {
        auto found = [&] { return (raw ? raw_ : Shown()).find(text, from) != std::string::npos; };
        auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            if (found()) {
                return true;
            }
            pollfd pfd{master_, POLLIN, 0};
            if (poll(&pfd, 1, 20) > 0) {
                char buf[4096];
                ssize_t n = read(master_, buf, sizeof buf);
                if (n > 0) {
                    raw_.append(buf, static_cast<size_t>(n));
                }
            }
        }
        return found();
    }

    // What the terminal received, with the status line's updates (cursor saved, bottom line
    // drawn, cursor restored) taken out: the console's own bytes.
    std::string Shown() const {
        std::string out;
        for (size_t i = 0; i < raw_.size();) {
            if (raw_.compare(i, 2, "\0337") == 0) {
                size_t end = raw_.find("\0338", i + 2);
                if (end == std::string::npos) {
                    break;
                }
                i = end + 2;
            } else {
                out.push_back(raw_[i++]);
            }
        }
        return out;
    }
    const std::string &Raw() const { return raw_; }

    // Waits for the exit; the exit status, -1 on a signal or time-out.
    int Exit(double seconds) {
        auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                Drain();
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            WaitFor("\x01never", 0, 0.02); // keep draining the terminal
        }
        return -1;
    }

    // Reads what is still on its way, until the terminal stays quiet for 100 ms.
    void Drain() {
        pollfd pfd{master_, POLLIN, 0};
        char buf[4096];
        while (poll(&pfd, 1, 100) > 0) {
            ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            raw_.append(buf, static_cast<size_t>(n));
        }
    }

    termios Mode() const {
        termios t{};
        tcgetattr(slave_, &t);
        return t;
    }
    const termios &ModeBefore() const { return before_; }

  private:
    int master_ = -1, slave_ = -1;
    pid_t pid_ = -1;
    bool exited_ = false;
    termios before_{};
    std::string raw_;
};

TEST(Live, AnswersTheConsoleShowsStatusAndRestoresTheTerminal) {
    TerminalSession live("live --no-gnss");
    ASSERT_TRUE(live.started());
    ASSERT_TRUE(live.WaitFor("wspr> ", 0, 10.0)) << live.Raw();
    EXPECT_NE(live.Shown().find("TOLVANE Si5351 CLK1"), std::string::npos);
    // Raw mode while it runs: no echo by the terminal, no line editing, Ctrl-C is a byte.
    termios running = live.Mode();
    EXPECT_EQ(running.c_lflag & (ICANON | ECHO | ISIG), 0u);

    size_t from = live.Shown().size();
    live.Type("show\r");
    ASSERT_TRUE(live.WaitFor("wspr> ", from, 5.0)) << live.Shown().substr(from);
    std::string reply = live.Shown().substr(from);
    EXPECT_NE(reply.find("show\r\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("State: IDLE\r\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("Message: QZ5RTV OM85 10dBm\r\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("Time: invalid"), std::string::npos) << reply; // --no-gnss

    // The status line on the bottom row of the 24.
    EXPECT_NE(live.Raw().find("\033[24;1H"), std::string::npos);
    EXPECT_NE(live.Raw().find(" IDLE | LED "), std::string::npos);
    EXPECT_NE(live.Raw().find("| CLK1 off |"), std::string::npos);

    // Ctrl-K: the button, held 200 ms: a frame starts and CLK1 comes on.
    from = live.Shown().size();
    live.Type("\x0b");
    ASSERT_TRUE(live.WaitFor("TX start QZ5RTV OM85 10dBm, 162 symbols", from, 5.0))
        << live.Shown().substr(from);
    ASSERT_TRUE(live.WaitFor(" TX | LED ", 0, 3.0, true));
    EXPECT_TRUE(live.WaitFor("| CLK1 on 1409707", 0, 3.0, true));

    live.Type("\x03");
    EXPECT_EQ(live.Exit(5.0), 0) << live.Raw();
    termios after = live.Mode();
    const termios &before = live.ModeBefore();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    // The bottom line is given back: the scrolling region reset.
    EXPECT_NE(live.Raw().rfind("\033[r"), std::string::npos);
}

TEST(Live, GnssFromThePcClockSetsTheTime) {
    TerminalSession live("live --no-status");
    ASSERT_TRUE(live.started());
    ASSERT_TRUE(live.WaitFor(" UTC from GNSS\r\n", 0, 5.0)) << live.Raw();
    EXPECT_NE(live.Shown().find("TIME set "), std::string::npos);
    EXPECT_EQ(live.Raw().find("\0337"), std::string::npos); // no status line asked
    live.Type("\x03");
    EXPECT_EQ(live.Exit(5.0), 0);
}

} // namespace

namespace {

TEST(Run, ShowsProgressOnATerminalOnly) {
    // Six virtual hours: long enough for the progress line to appear.
    TerminalSession run("run --until 21600000 --console-log /dev/null");
    ASSERT_TRUE(run.started());
    EXPECT_EQ(run.Exit(60.0), 0);
    EXPECT_NE(run.Raw().find("virtual 0d 0"), std::string::npos) << run.Raw();
    EXPECT_NE(run.Raw().find(" of 0d 06:00:00"), std::string::npos) << run.Raw();
    EXPECT_NE(run.Raw().find("x real time"), std::string::npos) << run.Raw();

    std::string command = std::string(WSPR_SIM_PATH) +
                          " run --until 21600000 --console-log /dev/null 2>&1 </dev/null | cat";
    FILE *p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        out.append(buf, n);
    }
    EXPECT_EQ(pclose(p), 0);
    EXPECT_EQ(out, "");
}

} // namespace
