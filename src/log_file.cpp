#include "log_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

// The log's state: the file and the line being printed. Standard output
// is replaced by a stream whose writes land here, so every printf of the
// program is seen without the program printing differently.
struct Log {
    std::mutex mutex;
    FILE* file = nullptr;
    std::string line;
    bool redraw = false; // the line began with '\r': a progress redraw
};

Log& the_log()
{
    static Log log;
    return log;
}

void write_line(Log& log, const std::string& text)
{
    if (text.empty()) return;
    std::fprintf(log.file, "%s %s\n", iso8601_local_time().c_str(), text.c_str());
    std::fflush(log.file);
}

ssize_t tee_write(void*, const char* data, size_t size)
{
    // The screen first, whatever happens to the log.
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(STDOUT_FILENO, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    Log& log = the_log();
    const std::lock_guard<std::mutex> lock(log.mutex);
    for (size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\r') {
            log.line.clear();
            log.redraw = true;
        } else if (c == '\n') {
            if (!log.redraw) write_line(log, log.line);
            log.line.clear();
            log.redraw = false;
        } else {
            log.line += c;
        }
    }
    return static_cast<ssize_t>(size);
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
    Log& log = the_log();
    FILE* file = std::fopen(path.c_str(), "a");
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    cookie_io_functions_t functions{};
    functions.write = tee_write;
    FILE* tee = fopencookie(nullptr, "w", functions);
    if (!tee) {
        error = std::strerror(errno);
        std::fclose(file);
        return false;
    }
    std::fflush(stdout);
    {
        const std::lock_guard<std::mutex> lock(log.mutex);
        log.file = file;
    }
    // Unbuffered, as the screen is: what is printed shows at once.
    setvbuf(tee, nullptr, _IONBF, 0);
    stdout = tee;
    return true;
}

void log_only(const std::string& line)
{
    Log& log = the_log();
    const std::lock_guard<std::mutex> lock(log.mutex);
    if (log.file) write_line(log, line);
}

bool log_active()
{
    Log& log = the_log();
    const std::lock_guard<std::mutex> lock(log.mutex);
    return log.file != nullptr;
}
