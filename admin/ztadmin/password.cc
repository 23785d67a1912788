// SPDX-License-Identifier: GPL-3.0-or-later
// password.cc - the administrator's bind password for `ztadmin init`: typed
// on the terminal without echo, or the first line of standard input.  It
// never comes from the command line, where every user of the machine could
// read it.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "init.h"

namespace ztadmin {

namespace {

// The password file holds one line of at most this many characters.
constexpr size_t kMaxPassword = 511;

// The terminal whose echo is off, for the signal handler to restore.
int quiet_terminal = -1;
termios saved_terminal{};

void restore_terminal_and_die(int signal_number) {
    tcsetattr(quiet_terminal, TCSANOW, &saved_terminal);
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// Echo off on `fd` while the object lives, also when a signal ends the
// program meanwhile.
class EchoOff {
public:
    explicit EchoOff(int fd) {
        if (tcgetattr(fd, &saved_terminal) != 0) return;
        termios quiet = saved_terminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        quiet_terminal = fd;
        for (int s : kSignals) std::signal(s, restore_terminal_and_die);
        ok_ = tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (quiet_terminal < 0) return;
        tcsetattr(quiet_terminal, TCSAFLUSH, &saved_terminal);
        for (int s : kSignals) std::signal(s, SIG_DFL);
        quiet_terminal = -1;
    }
    EchoOff(const EchoOff &) = delete;
    EchoOff &operator=(const EchoOff &) = delete;
    bool ok() const { return ok_; }

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
    bool ok_ = false;
};

// Reads one line from `fd` into `out` without its line feed; false when
// nothing came, a read failed or the line is too long (`error` says why).
bool read_line(int fd, Secret &out, std::string &error) {
    out.text.reserve(kMaxPassword + 1);  // one buffer, wiped at the end
    char c;
    ssize_t n;
    while ((n = read(fd, &c, 1)) == 1 && c != '\n') {
        if (out.text.size() == kMaxPassword) {
            error = "the password is longer than " + std::to_string(kMaxPassword) + " characters";
            return false;
        }
        out.text.push_back(c);
    }
    if (n < 0) error = std::string("cannot read the password: ") + std::strerror(errno);
    return n >= 0;
}

// Why `password` could not be stored and read back as it is, or empty.
std::string unusable(const std::string &password) {
    if (password.empty()) return "the password is empty";
    if (password.find('\0') != std::string::npos) return "the password holds a NUL byte";
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    if (blank(password.front()) || blank(password.back())) {
        return "the password begins or ends with a blank or tab, which the password file cannot keep";
    }
    return {};
}

bool prompt_and_read(int tty, const char *prompt, Secret &out, std::string &error) {
    if (write(tty, prompt, std::strlen(prompt)) < 0) {
        error = std::string("cannot write to the terminal: ") + std::strerror(errno);
        return false;
    }
    return read_line(tty, out, error);
}

bool read_from_terminal(Secret &out, std::string &error) {
    zt::Fd tty(open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!tty) {
        error = "no terminal to read the password from; give it on standard input with --password-stdin";
        return false;
    }
    EchoOff echo_off(tty.get());
    if (!echo_off.ok()) {
        error = "cannot switch the terminal's echo off; give the password on standard input with --password-stdin";
        return false;
    }
    Secret again;
    if (!prompt_and_read(tty.get(), "Password of the administrator: ", out, error) ||
        !prompt_and_read(tty.get(), "The same password again: ", again, error)) {
        return false;
    }
    if (out.text != again.text) {
        error = "the two passwords differ";
        return false;
    }
    return true;
}

}  // namespace

Secret::~Secret() { explicit_bzero(text.data(), text.size()); }

bool read_password(bool from_stdin, Secret &out, std::string &error) {
    bool read = from_stdin ? read_line(STDIN_FILENO, out, error) : read_from_terminal(out, error);
    if (!read) return false;
    error = unusable(out.text);
    return error.empty();
}

}  // namespace ztadmin
