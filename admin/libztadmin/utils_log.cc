// SPDX-License-Identifier: GPL-3.0-or-later
// utils_log.cc - the three logging entry points.
//
// Every record goes to the system log (no openlog: the platform's default
// facility applies where none is given) and, when $ZTADMIN_LOG names a file,
// is appended there as one line "PRIORITY TEXT" so that tests and
// administrators can read exactly what was logged.  With $ZTADMIN_TRACE set
// (and not "0") each record is also written to standard error as one line
// "PROGRAM: TEXT", so that the reason for a failure is seen where the
// command was typed, also on a machine without a syslog daemon.  Both
// mirrors, like the root prefix, are not honoured in set-uid and set-gid
// runs.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "admin_private.h"
#include "utils.h"

namespace {

constexpr size_t kLogBufferSize = 1024;

// syslog() without a facility uses LOG_USER when openlog() was never called.
constexpr int kDefaultFacility = LOG_USER;

// A multi-line record would break the one-line-per-record form; inner
// line feeds are shown as "#012", as the system log shows them, and one
// trailing line feed is dropped.  The result ends with a line feed.
std::string one_line(std::string line, const char *text) {
    size_t length = std::strlen(text);
    if (length > 0 && text[length - 1] == '\n') --length;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\n') {
            line += "#012";
        } else {
            line += text[i];
        }
    }
    line += '\n';
    return line;
}

// Appends the record to $ZTADMIN_LOG.  Only a regular file reached without
// a symbolic link at its end is written (O_NONBLOCK keeps a FIFO from
// holding us in open); O_APPEND keeps concurrent writers' lines whole.
void mirror(int priority, const char *text) {
    const char *path = zt::caller_env("ZTADMIN_LOG");
    if (path == nullptr || *path == '\0') return;
    zt::Fd fd(open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    std::string line = one_line(std::to_string(priority) + ' ', text);
    ssize_t ignored = write(fd.get(), line.data(), line.size());
    (void)ignored;
}

// Writes the record to standard error when $ZTADMIN_TRACE asks for it, in
// one write so that it stays one line between the command's own output.
void trace(const char *text) {
    const char *wanted = zt::caller_env("ZTADMIN_TRACE");
    if (wanted == nullptr || *wanted == '\0' || std::strcmp(wanted, "0") == 0) return;
    std::string line = one_line(std::string(program_invocation_short_name) + ": ", text);
    ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

// The innermost capture of this thread, if any.
thread_local zt::LogCapture *capture = nullptr;

void emit(int priority, const char *text) {
    syslog(priority, "%s", text);
    mirror((priority & LOG_FACMASK) ? priority : (priority | kDefaultFacility), text);
    trace(text);
    if (capture != nullptr) capture->add(text);
}

}  // namespace

namespace {

// Formats into a buffer of kLogBufferSize bytes: vsnprintf never writes past
// it, so an over-long message is cut.
std::string bounded(const char *format, va_list args) {
    char buffer[kLogBufferSize];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    return buffer;
}

}  // namespace

namespace zt {

LogCapture::LogCapture() : outer_(capture) { capture = this; }

LogCapture::~LogCapture() { capture = outer_; }

void LogCapture::add(const char *text) {
    std::string record(text);
    if (!record.empty() && record.back() == '\n') record.pop_back();
    records_.push_back(std::move(record));
    if (outer_ != nullptr) outer_->add(text);
}

std::string LogCapture::joined() const {
    std::string text;
    for (const auto &record : records_) {
        if (record.empty()) continue;
        text += (text.empty() ? "" : "; ") + record;
    }
    return text;
}

void dprintf(const char *format, ...) {
    if (suppress_output) return;
    va_list args;
    va_start(args, format);
    std::string message = bounded(format, args);
    va_end(args);
    emit(LOG_INFO, message.c_str());
}

void dlprintf(const char *category, const char *format, ...) {
    if (!gdebug(category)) return;
    va_list args;
    va_start(args, format);
    std::string message = bounded(format, args);
    va_end(args);
    std::string record = std::string("(") + (category ? category : "") + ") " + message;
    emit(LOG_INFO, record.c_str());
}

void log_admin(const char *category, const char *format, ...) {
    if (suppress_output) return;
    va_list args;
    va_start(args, format);
    std::string message = bounded(format, args);
    va_end(args);
    std::string record = std::string(category ? category : "") + " : " + message;
    emit(LOG_LOCAL1 | LOG_INFO, record.c_str());
}

}  // namespace zt
