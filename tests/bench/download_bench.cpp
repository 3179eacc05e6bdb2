// Downloads one file from the release server to a file, as the installer does, and prints the
// seconds that fetch took. Run by scripts/bench-download.
//   download_bench NAME DESTINATION
#include "launcher_core.h"

#include <chrono>
#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: download_bench NAME DESTINATION\n");
        return 2;
    }
    try {
        unsigned events = 0;
        const auto start = std::chrono::steady_clock::now();
        zolta_launcher::fetch(zolta_launcher::wide(argv[1]), argv[2], nullptr,
                              [&](nlohmann::json) { ++events; });
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("%.3f %u\n", took.count(), events);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "download_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
