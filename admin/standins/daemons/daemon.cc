// SPDX-License-Identifier: GPL-3.0-or-later
// daemon.cc - command line, listening socket and signals of the stand-ins.
#include "daemon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "connection.h"

namespace zt::standin {

namespace {

struct Options {
    in_addr address{};
    int port = 0;
    std::string scenario;
    std::string pidfile;   // empty: none
    std::string requests;  // empty: requests are not noted
};

int usage(const DaemonSpec &spec) {
    std::fprintf(stderr, "usage: %s --listen ADDR[:PORT] --scenario FILE [--pidfile FILE] [--requests FILE]\n",
                 spec.program);
    return 2;
}

// The port the clients use: the service's, else the fixed fallback.
int default_port(const DaemonSpec &spec) {
    const servent *entry = getservbyname(spec.service, "tcp");
    return entry != nullptr ? ntohs(static_cast<uint16_t>(entry->s_port)) : spec.fallback_port;
}

// Takes ADDR[:PORT] into `options`; false unless ADDR is a loopback IPv4
// address (these daemons are for tests and must not be reachable from
// elsewhere) and PORT, when given, is 1-65535.
bool parse_listen(const DaemonSpec &spec, const std::string &text, Options &options) {
    size_t colon = text.find(':');
    std::string host = text.substr(0, colon);
    if (inet_pton(AF_INET, host.c_str(), &options.address) != 1 || ntohl(options.address.s_addr) >> 24 != 127)
        return false;
    if (colon == std::string::npos) {
        options.port = default_port(spec);
        return true;
    }
    std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    options.port = std::stoi(port);
    return options.port >= 1 && options.port <= 65535;
}

std::optional<Options> parse_options(const DaemonSpec &spec, int argc, char **argv) {
    static const option kOptions[] = {{"listen", required_argument, nullptr, 'l'},
                                      {"scenario", required_argument, nullptr, 's'},
                                      {"pidfile", required_argument, nullptr, 'p'},
                                      {"requests", required_argument, nullptr, 'r'},
                                      {nullptr, 0, nullptr, 0}};
    Options options;
    std::string listen;
    for (int c; (c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
        switch (c) {
            case 'l': listen = optarg; break;
            case 's': options.scenario = optarg; break;
            case 'p': options.pidfile = optarg; break;
            case 'r': options.requests = optarg; break;
            default: return std::nullopt;
        }
    }
    if (optind != argc || listen.empty() || options.scenario.empty()) return std::nullopt;
    if (!parse_listen(spec, listen, options)) {
        std::fprintf(stderr, "%s: --listen needs a loopback address 127.x.x.x and optionally :PORT (1-65535), not \"%s\"\n",
                     spec.program, listen.c_str());
        return std::nullopt;
    }
    return options;
}

// A socket listening on the options' address and port; invalid (after a
// message) when that fails, most often because the port is taken.
Fd listen_on(const DaemonSpec &spec, const Options &options) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(options.port));
    address.sin_addr = options.address;
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int on = 1;
    if (fd && setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
        bind(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 && listen(fd.get(), 64) == 0)
        return fd;
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &options.address, host, sizeof host);
    std::fprintf(stderr, "%s: cannot listen on %s:%d: %s\n", spec.program, host, options.port, std::strerror(errno));
    return Fd();
}

// Blocks SIGTERM and SIGINT in this and every later thread and returns a
// descriptor that becomes readable when one arrives.
Fd stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return Fd(signalfd(-1, &set, SFD_CLOEXEC));
}

// Writes our PID to `path` through a temporary file, so whoever waits for
// the file never reads it half written.
bool write_pidfile(const std::string &path) {
    std::string temporary = path + ".tmp";
    std::string text = std::to_string(getpid()) + "\n";
    Fd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    bool written = fd && write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    fd.reset();
    return written && rename(temporary.c_str(), path.c_str()) == 0;
}

// The connections being served, each on a detached thread of its own.
class Connections {
public:
    // Serves `client` on a new thread; drops it when no thread can be made.
    void start(const ServeContext &context, Fd client) {
        std::lock_guard<std::mutex> guard(mutex_);
        try {
            std::thread([this, &context, client = std::move(client)]() mutable {
                serve_connection(context, std::move(client));
                finished();
            }).detach();
            ++active_;
        } catch (const std::system_error &e) {
            std::fprintf(stderr, "%s: cannot serve a connection: %s\n", context.program.c_str(), e.what());
        }
    }
    // Returns once every connection has ended.
    void wait_all() {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return active_ == 0; });
    }

private:
    void finished() {
        std::lock_guard<std::mutex> guard(mutex_);
        --active_;
        idle_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable idle_;
    int active_ = 0;
};

// Accepts clients until a stop signal arrives, then stops every connection
// and waits for them.
void serve_until_signal(const ServeContext &context, Fd &listener, int signal_fd) {
    Connections connections;
    for (;;) {
        pollfd fds[2] = {{listener.get(), POLLIN, 0}, {signal_fd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[1].revents != 0) break;
        if (fds[0].revents & POLLIN) {
            Fd client(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (client) connections.start(context, std::move(client));
        }
    }
    listener.reset();
    eventfd_write(context.stop_fd, 1);
    connections.wait_all();
}

// Opens the request log for appending; invalid (after a message) on failure.
std::unique_ptr<RequestLog> open_request_log(const DaemonSpec &spec, const std::string &path) {
    Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!fd) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", spec.program, path.c_str(), std::strerror(errno));
        return nullptr;
    }
    return std::make_unique<RequestLog>(std::move(fd));
}

}  // namespace

int run_daemon(const DaemonSpec &spec, int argc, char **argv) {
    std::optional<Options> options = parse_options(spec, argc, argv);
    if (!options) return usage(spec);
    signal(SIGPIPE, SIG_IGN);
    Fd signals = stop_signals();
    Fd stop(eventfd(0, EFD_CLOEXEC));
    if (!signals || !stop) {
        std::fprintf(stderr, "%s: cannot set up signals: %s\n", spec.program, std::strerror(errno));
        return 1;
    }
    std::unique_ptr<RequestLog> log;
    if (!options->requests.empty() && !(log = open_request_log(spec, options->requests))) return 1;
    Fd listener = listen_on(spec, *options);
    if (!listener) return 1;
    if (!options->pidfile.empty() && !write_pidfile(options->pidfile)) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", spec.program, options->pidfile.c_str(), std::strerror(errno));
        return 1;
    }
    ScenarioFile scenario(options->scenario);
    ServeContext context{spec.program, &scenario, stop.get(), log.get()};
    serve_until_signal(context, listener, signals.get());
    if (!options->pidfile.empty()) unlink(options->pidfile.c_str());
    return 0;
}

}  // namespace zt::standin
