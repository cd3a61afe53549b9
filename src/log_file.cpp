#include "log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <optional>

namespace {

// Lines kept while the file cannot be written (a full disk): beyond this
// the oldest go, and their number is said when the file works again.
constexpr size_t BACKLOG_LINES = 4096;
// A rotation renames the file and creates a new one at once; a path that
// stays empty this long is created by the program itself.
constexpr auto MISSING_GRACE = std::chrono::seconds(1);

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_reopen{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from the signal handler");

struct Log {
    std::mutex mutex;
    std::string path;
    int fd = -1;
    // Stamped lines not yet written, oldest first; the first may be written
    // in part already.
    std::deque<std::string> backlog;
    size_t front_written = 0;
    size_t lost = 0;
    bool failing = false;
    std::optional<Clock::time_point> missing_since;
};

Log& the_log()
{
    static Log log;
    return log;
}

int open_for_append(const std::string& path)
{
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

// Keeps the file it has when the path cannot be opened: its lines are not lost.
void reopen(Log& log)
{
    const int fd = open_for_append(log.path);
    if (fd < 0) return;
    ::close(log.fd);
    log.fd = fd;
}

// The file at the path is the one being written, unless it was moved or
// deleted (then the one there now, or a new one after the grace).
void follow_path(Log& log)
{
    if (g_reopen.exchange(false)) {
        log.missing_since.reset();
        reopen(log);
        return;
    }
    struct stat at_path{};
    if (::stat(log.path.c_str(), &at_path) != 0) {
        if (errno != ENOENT) return;
        const Clock::time_point now = Clock::now();
        if (!log.missing_since) log.missing_since = now;
        if (now - *log.missing_since < MISSING_GRACE) return;
        log.missing_since.reset();
        reopen(log);
        return;
    }
    log.missing_since.reset();
    struct stat open_file{};
    if (::fstat(log.fd, &open_file) != 0 || open_file.st_dev != at_path.st_dev ||
        open_file.st_ino != at_path.st_ino)
        reopen(log);
}

// Writes the backlog in order: "" when all of it went, else why not.
std::string write_backlog(Log& log)
{
    while (!log.backlog.empty()) {
        const std::string& line = log.backlog.front();
        const ssize_t n = ::write(log.fd, line.data() + log.front_written, line.size() - log.front_written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? std::strerror(errno) : "nothing was written";
        log.front_written += static_cast<size_t>(n);
        if (log.front_written < line.size()) continue;
        log.backlog.pop_front();
        log.front_written = 0;
    }
    return "";
}

// What the user is told when the log stops or starts working again.
std::string health_change(Log& log, const std::string& error)
{
    if (!error.empty() && !log.failing) {
        log.failing = true;
        return "  [!] Cannot write the log file " + log.path + ": " + error +
               "; its lines are kept and written when it works again";
    }
    if (error.empty() && log.failing) {
        log.failing = false;
        std::string text = "  [+] The log file " + log.path + " is written again";
        if (log.lost > 0) text += " (" + std::to_string(log.lost) + " lines could not be kept)";
        log.lost = 0;
        return text;
    }
    return "";
}

} // namespace

std::string iso8601_local_time()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    // %z gives +0100; ISO 8601's extended form wants +01:00.
    std::string s = text;
    if (s.size() >= 5) s.insert(s.size() - 2, ":");
    return s;
}

bool start_log(const std::string& path, std::string& error)
{
    const int fd = open_for_append(path);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    Log& log = the_log();
    const std::lock_guard<std::mutex> lock(log.mutex);
    log.path = path;
    log.fd = fd;
    return true;
}

bool log_active()
{
    Log& log = the_log();
    const std::lock_guard<std::mutex> lock(log.mutex);
    return log.fd >= 0;
}

std::string log_line(std::string_view text)
{
    if (text.empty()) return "";
    Log& log = the_log();
    const std::lock_guard<std::mutex> lock(log.mutex);
    if (log.fd < 0) return "";
    follow_path(log);
    std::string stamped = iso8601_local_time();
    stamped.append(1, ' ').append(text).append(1, '\n');
    log.backlog.push_back(std::move(stamped));
    // The oldest line goes first, unless it is already written in part.
    if (log.backlog.size() > BACKLOG_LINES && log.front_written == 0) {
        log.backlog.pop_front();
        ++log.lost;
    }
    return health_change(log, write_backlog(log));
}

void log_only(const std::string& line)
{
    const std::string said = log_line(line);
    if (!said.empty()) std::printf("%s\n", said.c_str());
}

void request_log_reopen()
{
    g_reopen.store(true);
}

void log_maintain()
{
    std::string said;
    {
        Log& log = the_log();
        const std::lock_guard<std::mutex> lock(log.mutex);
        if (log.fd < 0) return;
        follow_path(log);
        if (!log.backlog.empty()) said = health_change(log, write_backlog(log));
    }
    if (!said.empty()) std::printf("%s\n", said.c_str());
}
