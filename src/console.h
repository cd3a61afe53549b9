// Standard output as the program writes it. Every print goes through one
// stream that keeps the screen tidy and feeds the log file: anything printed
// while a progress redraw stands on the screen (a line begun with '\r' and
// not ended) starts on a line of its own, and every complete line that is
// not a redraw is copied to the log when one is open.
#pragma once

#include <string>
#include <string_view>

// Replaces standard output with the console stream, unbuffered. Called once,
// first thing in main.
void start_console();
// True when standard output is the systemd journal (JOURNAL_STREAM names its
// device and inode): the journal splits only at newlines, so progress is
// printed as whole lines there instead of redraws.
bool console_is_journal();

// The screen's side of the rule, for the stream and its tests: text as it
// goes to the screen, with a newline in front where a redraw stands open;
// redraw_open carries the state from one write to the next.
std::string screen_text(bool& redraw_open, std::string_view text);
