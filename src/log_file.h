// The log file: every line the program prints, with the local time in
// front, appended line by line as a daemon's log is. It is opened again on
// SIGHUP (logrotate's postrotate convention) and whenever the file at its
// path is no longer the one being written (moved or deleted). A line that
// cannot be written is kept, within a bound, and written with the next one
// that can; the trouble is said once on the screen, never fatal.
#pragma once

#include <string>
#include <string_view>

// Opens path for appending. False, with the reason, when it cannot be opened.
bool start_log(const std::string& path, std::string& error);
bool log_active();
// One line into the log with its time. Returns what the user should be told
// on the screen (the log stopped being written, or works again), once per
// change; empty otherwise.
std::string log_line(std::string_view text);
// One line for the log alone (a found block's hex, the statistics once a
// minute); a change in the log's health is said on the screen.
void log_only(const std::string& line);
// From the signal handler: the next write, or log_maintain, opens the path
// again. Async-signal-safe.
void request_log_reopen();
// Called about once a second: opens the path again when asked to, or when
// the file there is not the one being written.
void log_maintain();
// "2026-12-10T00:47:12+01:00": the local time in ISO 8601.
std::string iso8601_local_time();
