// utils_log.cc - the three logging entry points.
//
// Every record goes to the system log (no openlog: the platform's default
// facility applies where none is given) and, when $ZTADMIN_LOG names a file,
// is appended there as one line "PRIORITY TEXT" so that tests and
// administrators can read exactly what was logged.
#include <fcntl.h>
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

// Appends "PRIORITY TEXT\n" to $ZTADMIN_LOG; the text loses one trailing
// line feed.  O_APPEND keeps concurrent writers' lines whole.
void mirror(int priority, const char *text) {
    const char *path = std::getenv("ZTADMIN_LOG");
    if (path == nullptr || *path == '\0') return;
    std::string line = std::to_string(priority);
    line += ' ';
    line += text;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    line += '\n';
    zt::Fd fd(open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) return;
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
