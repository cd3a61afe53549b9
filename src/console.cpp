#include "console.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "log_file.h"

namespace {

struct Console {
    std::mutex mutex;
    bool redraw_open = false; // the screen's current line is a redraw
    // The log's current line, and whether it is a redraw (never logged).
    std::string line;
    bool line_is_redraw = false;
    bool journal = false;
};

Console& the_console()
{
    static Console console;
    return console;
}

void write_screen(std::string_view text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // a closed terminal: nothing left to tell
        done += static_cast<size_t>(n);
    }
}

// The complete lines of text go to the log; what it says about its own
// health goes to the screen.
void feed_log(Console& c, std::string_view text)
{
    for (const char ch : text) {
        if (ch == '\r') {
            c.line.clear();
            c.line_is_redraw = true;
        } else if (ch == '\n') {
            const std::string said = c.line_is_redraw ? "" : log_line(c.line);
            if (!said.empty()) write_screen(said + "\n");
            c.line.clear();
            c.line_is_redraw = false;
        } else {
            c.line += ch;
        }
    }
}

ssize_t console_write(void*, const char* data, size_t size)
{
    Console& c = the_console();
    const std::lock_guard<std::mutex> lock(c.mutex);
    const std::string text = screen_text(c.redraw_open, std::string_view(data, size));
    write_screen(text);
    feed_log(c, text);
    return static_cast<ssize_t>(size);
}

bool stdout_is_journal()
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream) return false;
    unsigned long long device = 0, inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    struct stat st{};
    if (::fstat(STDOUT_FILENO, &st) != 0) return false;
    return st.st_dev == device && st.st_ino == inode;
}

} // namespace

std::string screen_text(bool& redraw_open, std::string_view text)
{
    std::string out;
    if (text.empty()) return out;
    if (redraw_open && text.front() != '\r' && text.front() != '\n') out += '\n';
    out.append(text);
    const size_t line_start = out.find_last_of('\n');
    const size_t redraw = out.find_last_of('\r');
    // Open: a '\r' began the last line and something was drawn after it (a
    // bare '\r' only puts the cursor back for the next text).
    redraw_open = redraw != std::string::npos &&
                  (line_start == std::string::npos || redraw > line_start) && redraw + 1 < out.size();
    return out;
}

void start_console()
{
    Console& c = the_console();
    c.journal = stdout_is_journal();
    cookie_io_functions_t functions{};
    functions.write = console_write;
    FILE* stream = fopencookie(nullptr, "w", functions);
    if (!stream) return; // the plain stream still prints, only less tidily
    std::fflush(stdout);
    // Unbuffered, as the screen is: what is printed shows at once.
    setvbuf(stream, nullptr, _IONBF, 0);
    stdout = stream;
}

bool console_is_journal()
{
    return the_console().journal;
}
