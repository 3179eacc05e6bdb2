// One core operation for scripts/bench-archive to time:
//   archive_bench extract <archive> <destination>
//   archive_bench sha256 <file>
#include <exception>
#include <iostream>
#include <string>

#include "launcher_core.h"

int main(int argc, char** argv) {
    try {
        std::string what = argc > 1 ? argv[1] : "";
        if (what == "extract" && argc == 4) {
            zolta_launcher::extract(argv[2], argv[3]);
        } else if (what == "sha256" && argc == 3) {
            std::cout << zolta_launcher::sha256(argv[2]) << "  " << argv[2] << "\n";
        } else {
            std::cerr << "usage: archive_bench extract <archive> <destination> | sha256 <file>\n";
            return 2;
        }
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    return 0;
}
