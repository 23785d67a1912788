/* SPDX-License-Identifier: GPL-3.0-or-later */
// connection.h - one client connection of a stand-in daemon: read the
// request line, note it, answer it as the scenario says.
#ifndef ZT_STANDIN_CONNECTION_H
#define ZT_STANDIN_CONNECTION_H

#include <mutex>
#include <string>
#include <string_view>

#include "admin_private.h"
#include "scenario.h"

namespace zt::standin {

// The longest request taken; longer lines are cut here.
inline constexpr size_t kMaxRequest = 1024;
// How long a client may take to send its request line.
inline constexpr int kRequestWaitMs = 2000;
// An endless reply sends this line every kFillerPeriodMs.
inline constexpr std::string_view kFiller = "filler=x\n";
inline constexpr int kFillerPeriodMs = 10;

// Appends each request as one line holding a JSON string, so control
// characters stay visible ("status tokenName=x\r\n" shows its \r\n).
class RequestLog {
public:
    explicit RequestLog(Fd fd) : fd_(std::move(fd)) {}
    // Appends `request`; a failed write is reported on standard error.
    void append(std::string_view request);

private:
    std::mutex mutex_;
    Fd fd_;
};

// What all connections of one daemon share; outlives every connection.
struct ServeContext {
    std::string program;        // names the daemon in messages
    ScenarioFile *scenario;     // read again for every request
    int stop_fd = -1;           // becomes readable when the daemon stops
    RequestLog *log = nullptr;  // null: requests are not noted
};

// Serves one accepted (non-blocking) client socket until the reply is done,
// the client closes, or the daemon stops; then closes the socket.
void serve_connection(const ServeContext &context, Fd client);

}  // namespace zt::standin

#endif  // ZT_STANDIN_CONNECTION_H
