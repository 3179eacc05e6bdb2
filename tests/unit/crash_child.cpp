// Runs one install into the data folder given as its argument and reports, one line each, every
// stage event ("stage NAME"), every byte event ("bytes") and the outcome ("done" or
// "error TEXT"), flushed at once, so a watching test can kill it at a chosen moment.
#include <atomic>
#include <cstdio>
#include <exception>

#include "launcher_core.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::atomic<bool> cancelled = false;
    try {
        zolta_launcher::install(argv[1], cancelled, [](nlohmann::json event) {
            if (event.contains("stage"))
                std::printf("stage %s\n", event["stage"].get<std::string>().c_str());
            else
                std::printf("bytes\n");
            std::fflush(stdout);
        });
    } catch (const std::exception& e) {
        std::printf("error %s\n", e.what());
        return 1;
    }
    std::printf("done\n");
    return 0;
}
