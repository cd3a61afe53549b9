// What every activity shares: the stop flag and the program's fixed texts.
#pragma once

#include <atomic>

// True until SIGINT or SIGTERM; every long loop tests it and winds down in order.
extern std::atomic<bool> g_running;

void signal_handler(int signal_number);
void print_banner(const char* title);
void print_usage(const char* program);
// "  <prefix>#N: NAME (S SMs, M MB)"
void print_device_line(const char* prefix, int device);
