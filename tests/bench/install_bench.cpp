// The benchmark's install: one full install of the published release into the data folder named
// by its argument, as the launcher runs it. Prints the installed version and the time it took.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>

#include "launcher_core.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: install_bench DATA-FOLDER\n");
        return 2;
    }
    std::atomic<bool> cancelled = false;
    auto start = std::chrono::steady_clock::now();
    try {
        auto release = zolta_launcher::install(argv[1], cancelled, [](nlohmann::json) {});
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("installed %s in %.2f s\n", release.versionText.c_str(), took.count());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "install failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
