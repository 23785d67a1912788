// utils_log.cc - the three logging entry points.
//
// Every record goes to the system log (no openlog: the platform's default
// facility applies where none is given) and, when $ZTADMIN_LOG names a file,
// is appended there as one line "PRIORITY TEXT" so that tests and
// administrators can read exactly what was logged.  The mirror, like the
// root prefix, is not honoured in set-uid and set-gid runs.
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
// line feeds are shown as "#012", as the system log shows them.
std::string one_line(int priority, const char *text) {
    std::string line = std::to_string(priority);
    line += ' ';
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
    std::string line = one_line(priority, text);
    ssize_t ignored = write(fd.get(), line.data(), line.size());
    (void)ignored;
}

void emit(int priority, const char *text) {
    syslog(priority, "%s", text);
    mirror((priority & LOG_FACMASK) ? priority : (priority | kDefaultFacility), text);
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
