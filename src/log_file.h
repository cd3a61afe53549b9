// The log file: every line the program prints, with the local time in
// front, appended and flushed line by line; progress redraws (lines begun
// with '\r') stay on the screen only.
#pragma once

#include <string>

// From here on, what is printed to standard output is copied into the file
// at path too. False, with the reason, when the file cannot be opened.
bool start_log(const std::string& path, std::string& error);
// One line for the log alone (a found block's hex, the statistics once a
// minute); nothing happens without a log.
void log_only(const std::string& line);
bool log_active();
// "2026-12-10T00:47:12+01:00": the local time in ISO 8601.
std::string iso8601_local_time();
