// Test support for Linux tests run through the network test runner (tests/net/netrun): name
// resolution that never answers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "release_server.h"

namespace dead_resolver {

// While one lives, no hosts file names the release host and the only name server, 127.0.0.1:53,
// is a socket that reads nothing: a lookup waits 30 s, three times over. The two files are
// bind-mounted in the runner's own mount namespace, which the machine never sees.
class DeadResolver {
  public:
    DeadResolver() {
        namespace fs = std::filesystem;
        const char* certs = std::getenv("ZOLTA_TEST_CERTS");
        // Only inside the runner: there the trust store holds the test CA alone.
        if (!certs || release_server::read("/etc/ssl/certs/ca-certificates.crt") !=
                          release_server::read(fs::path(certs) / "ca.crt"))
            throw std::runtime_error("run through tests/net/netrun");
        const fs::path folder = release_server::served().parent_path() / "resolver";
        release_server::write(folder / "hosts", "127.0.0.1\tlocalhost\n::1\tlocalhost\n");
        release_server::write(folder / "resolv.conf",
                              "nameserver 127.0.0.1\noptions timeout:30 attempts:3\n");
        sink = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (sink < 0 || bind(sink, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1:53");
        if (mount((folder / "hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
            throw std::runtime_error("cannot mount /etc/hosts");
        hosts = true;
        if (mount((folder / "resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND,
                  nullptr) != 0)
            throw std::runtime_error("cannot mount /etc/resolv.conf");
        resolv = true;
    }
    DeadResolver(const DeadResolver&) = delete;
    DeadResolver& operator=(const DeadResolver&) = delete;
    ~DeadResolver() {
        if (resolv) umount2("/etc/resolv.conf", MNT_DETACH);
        if (hosts) umount2("/etc/hosts", MNT_DETACH);
        if (sink >= 0) close(sink);
    }

    // Whether a lookup has reached the name server, which never answers it.
    bool asked() const {
        char byte = 0;
        return recv(sink, &byte, 1, MSG_PEEK | MSG_DONTWAIT) >= 0;
    }

  private:
    int sink = -1;
    bool hosts = false;
    bool resolv = false;
};

} // namespace dead_resolver
