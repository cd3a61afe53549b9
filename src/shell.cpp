#include "shell.h"

#include <cstdio>

#include "../kernels/whirlpool_cuda.h"

std::atomic<bool> g_running{true};

void signal_handler(int)
{
    g_running.store(false);
}

void print_banner(const char* title)
{
    std::printf("\n");
    std::printf("  +=====================================================+\n");
    std::printf("  |            [*] Marlvane GPU Miner [*]               |\n");
    std::printf("  |            Whirlpool-512 CUDA v1.1                  |\n");
    std::printf("  |            %-40s|\n", title);
    std::printf("  +=====================================================+\n\n");
}

void print_usage(const char* program)
{
    std::printf("Marlvane GPU Miner v1.1 - Whirlpool-512 CUDA\n\n");
    std::printf("Usage: %s [options]\n\n", program);
    std::printf("  -c FILE      Config file (default: marlvane-miner.conf)\n"
                "  -o URL       RPC URL (default http://127.0.0.1:8899)\n"
                "  -u USER      RPC username\n"
                "  -p PASS      RPC password\n"
                "  -a ADDRESS   Mining payout address (required)\n"
                "  -d DEVICE    CUDA device ID (default 0)\n"
                "  -B BLOCKS    Grid blocks (default auto)\n"
                "  -T THREADS   Threads/block (default 256)\n"
                "  --benchmark  Hashrate benchmark only\n"
                "  --list-gpus  List CUDA devices\n"
                "  --cli        Force terminal mode (no GUI)\n"
                "  -h, --help   Show this help\n"
                "\nCommand-line flags override config file values.\n"
                "Place marlvane-miner.conf next to the .exe for auto-detection.\n");
}

void print_device_line(const char* prefix, int device)
{
    char name[256];
    int sm_count = 0;
    uint64_t total_mem = 0;
    cuda_device_info(device, name, sizeof name, &sm_count, &total_mem);
    std::printf("  %s#%d: %s (%d SMs, %zu MB)\n", prefix, device, name, sm_count,
                static_cast<size_t>(total_mem >> 20));
}
