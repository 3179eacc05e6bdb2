// The game is a Windows program: it runs through Wine, and a Wine process is found in procfs.
#include "platform/process.h"
#include "launcher_core.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace zolta_launcher {

namespace {

constexpr std::uint32_t stillActive = 259;

// ASCII letters fold to one case, every other byte must match (as _wcsicmp on the UTF-16 text).
bool sameText(const std::string& a, const std::string& b) {
    auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

enum class Read { ok, gone, denied };

Read readFile(const std::string& name, std::string& text) {
    auto outcome = [] { return errno == EACCES || errno == EPERM ? Read::denied : Read::gone; };
    int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return outcome();
    text.clear();
    char buffer[8192];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    Read result = n < 0 ? outcome() : Read::ok;
    close(fd);
    return result;
}

// Wine names a process after its Windows image, in comm (15 bytes, enough for the game's 14)
// and in the first argument, which holds the image's Unix or Windows path.
bool gameNamed(const std::string& proc) {
    std::string comm, cmdline;
    if (readFile(proc + "/comm", comm) == Read::ok) {
        if (!comm.empty() && comm.back() == '\n') comm.pop_back();
        if (sameText(comm, "OrbelZolta.exe")) return true;
    }
    if (readFile(proc + "/cmdline", cmdline) != Read::ok) return false;
    std::string first = cmdline.substr(0, cmdline.find('\0'));
    return sameText(first.substr(first.find_last_of("/\\") + 1), "OrbelZolta.exe");
}

// exe as the kernel may name it and as the file it is: its lexical normal form, the form with
// links resolved, and its device and inode when it can be read.
struct Wanted {
    std::vector<std::string> forms;
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
};

bool same(const Wanted& exe, const struct stat& file) {
    return exe.known && file.st_dev == exe.device && file.st_ino == exe.inode;
}

Wanted wanted(const std::filesystem::path& exe) {
    Wanted out;
    std::error_code error;
    auto full = std::filesystem::absolute(exe, error);
    out.forms.push_back((error ? exe : full).lexically_normal().string());
    auto real = std::filesystem::weakly_canonical(exe, error);
    if (!error) out.forms.push_back(real.string());
    struct stat file;
    if (stat(exe.c_str(), &file) == 0) {
        out.known = true;
        out.device = file.st_dev;
        out.inode = file.st_ino;
    }
    return out;
}

// A line of maps: "start-end perms offset major:minor inode   path", device numbers in hex.
bool mapsFile(const Wanted& exe, const std::string& line, const std::string& file) {
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (exe.known &&
        std::sscanf(line.c_str(), "%*s %*s %*s %x:%x %llu", &major, &minor, &inode) == 3 &&
        makedev(major, minor) == exe.device && inode == exe.inode)
        return true;
    // The numbers in maps are those of the file system below an overlay or a btrfs subvolume,
    // not those stat gives: the file itself is asked too, when it bears the game's name.
    struct stat mapped;
    const std::string name = file.substr(file.find_last_of('/') + 1);
    return sameText(name, "OrbelZolta.exe") && stat(file.c_str(), &mapped) == 0 &&
           same(exe, mapped);
}

// Whether the process runs exe; a process whose mappings cannot be read counts as running it.
// A native program is its /proc/PID/exe; a Wine process is the Wine loader there, and its
// Windows image is one of the files it maps. The kernel names each mapped file by its full path
// and its device and inode: the same file is found whatever drive letter, link or second name
// it was started through.
bool runs(const std::string& proc, const Wanted& exe) {
    struct stat image;
    if (stat((proc + "/exe").c_str(), &image) == 0 && same(exe, image)) return true;
    std::string maps;
    Read read = readFile(proc + "/maps", maps);
    if (read != Read::ok) return read == Read::denied;
    std::istringstream lines(maps);
    const std::string deleted = " (deleted)";
    for (std::string line; std::getline(lines, line);) {
        auto slash = line.find('/');
        if (slash == std::string::npos) continue;
        std::string file = line.substr(slash);
        // A replaced image still counts by its old path: its folder is the game's.
        if (file.size() > deleted.size() && file.ends_with(deleted))
            file.resize(file.size() - deleted.size());
        for (const auto& form : exe.forms)
            if (sameText(file, form)) return true;
        if (mapsFile(exe, line, file)) return true;
    }
    return false;
}

struct Closer {
    void operator()(DIR* dir) const { closedir(dir); }
};

struct SpawnActions {
    posix_spawn_file_actions_t value;
    SpawnActions() { posix_spawn_file_actions_init(&value); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&value); }
};

// The game starts with every signal at its default and none blocked, whatever the launcher's
// own threads ignore or block.
struct SpawnAttributes {
    posix_spawnattr_t value;
    SpawnAttributes() {
        posix_spawnattr_init(&value);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&value, &none);
        posix_spawnattr_setsigdefault(&value, &all);
        posix_spawnattr_setflags(&value, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&value); }
};

// Splits arguments as a Windows program splits its command line, so that the game receives the
// same arguments from Wine, which builds the Windows command line from them again.
std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i == text.size()) break;
        std::string arg;
        bool quoted = false;
        while (i < text.size() && (quoted || (text[i] != ' ' && text[i] != '\t'))) {
            std::size_t slashes = 0;
            while (i < text.size() && text[i] == '\\') ++slashes, ++i;
            if (i < text.size() && text[i] == '"') {
                arg.append(slashes / 2, '\\');
                if (slashes % 2) {
                    arg.push_back('"');
                } else if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
                    arg.push_back('"'); // "" inside quotes is a literal quote
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                arg.append(slashes, '\\');
                if (i < text.size() && (quoted || (text[i] != ' ' && text[i] != '\t')))
                    arg.push_back(text[i++]);
            }
        }
        out.push_back(arg);
    }
    return out;
}

// Reaps the games that were closed while they still ran, as each ends, so that none stays a
// zombie until the launcher exits. One thread waits on their process handles; closeProcess hands
// a handle over through a pipe, which needs no lock. The thread ends, and is joined, at exit.
struct Reaper {
    Reaper() {
        if (pipe2(handOff, O_CLOEXEC) != 0) return;
        fcntl(handOff[1], F_SETFL, O_NONBLOCK); // a full pipe refuses, never blocks the caller
        // The thread takes no signal: the launcher's handlers run on its own threads.
        sigset_t all, before;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &before);
        try {
            thread = std::thread(watch, handOff[0]);
        } catch (const std::system_error&) {
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        if (!thread.joinable()) close();
    }
    ~Reaper() {
        if (!thread.joinable()) return;
        ::close(handOff[1]); // the end of the hand-off ends the thread
        handOff[1] = -1;
        thread.join();
        close();
    }
    Reaper(const Reaper&) = delete;
    Reaper& operator=(const Reaper&) = delete;

    // Takes over the process handle of a game that still runs; false when it cannot.
    [[nodiscard]] bool take(int handle) {
        return handOff[1] >= 0 && write(handOff[1], &handle, sizeof handle) == sizeof handle;
    }

    void close() {
        for (int& end : handOff)
            if (end >= 0) ::close(std::exchange(end, -1));
    }

    static void watch(int in) {
        std::vector<pollfd> watched{{in, POLLIN, 0}};
        for (;;) {
            if (poll(watched.data(), watched.size(), -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            for (std::size_t i = watched.size(); i-- > 1;) {
                if (watched[i].revents == 0) continue;
                siginfo_t info{};
                int rc =
                    waitid(P_PIDFD, static_cast<id_t>(watched[i].fd), &info, WEXITED | WNOHANG);
                if (rc == 0 && info.si_pid == 0) continue; // not ended after all
                ::close(watched[i].fd);
                watched.erase(watched.begin() + static_cast<std::ptrdiff_t>(i));
            }
            if (watched[0].revents == 0) continue;
            int handle = -1;
            ssize_t n = read(in, &handle, sizeof handle);
            if (n < 0 && errno == EINTR) continue;
            if (n != sizeof handle) break; // the launcher is ending
            watched.push_back({handle, POLLIN, 0});
        }
        for (std::size_t i = 1; i < watched.size(); ++i) ::close(watched[i].fd);
    }

    int handOff[2] = {-1, -1}; // read by the thread, written by take
    std::thread thread;
};

// Made on the first game closed while it runs.
Reaper& reaper() {
    static Reaper one;
    return one;
}

} // namespace

bool gameRunning(const std::filesystem::path& exe) {
    std::unique_ptr<DIR, Closer> proc(opendir("/proc"));
    require(proc != nullptr, "Cannot check running games");
    const Wanted game = wanted(exe);
    while (dirent* entry = readdir(proc.get())) {
        std::string id = entry->d_name;
        if (id.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string dir = "/proc/" + id;
        if (gameNamed(dir) && runs(dir, game)) return true;
    }
    return false;
}

ProcessInfo launch(const std::filesystem::path& exe, const std::u16string& arguments) {
    require(validGame(exe), "Choose OrbelZolta.exe with its complete assets folder.");
    std::error_code error;
    auto full = std::filesystem::absolute(exe, error); // the game starts in another folder
    require(!error, "Windows could not start Zolta.");
    std::vector<std::string> args{"wine", full.string()};
    for (auto& arg : split(narrow(arguments))) args.push_back(arg);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    SpawnActions actions;
    SpawnAttributes attributes;
    posix_spawn_file_actions_addchdir_np(&actions.value, full.parent_path().c_str());
    posix_spawn_file_actions_addclosefrom_np(&actions.value, 3); // no inherited handles
    pid_t pid = 0;
    int failed =
        posix_spawnp(&pid, "wine", &actions.value, &attributes.value, argv.data(), environ);
    require(failed == 0, "Windows could not start Zolta.");
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    // 0 means "no handle" in ProcessInfo, so the handle never takes a standard descriptor.
    int handle = fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (fd >= 0) close(fd);
    if (handle < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        require(false, "Windows could not start Zolta.");
    }
    auto id = static_cast<std::uint32_t>(pid);
    return {handle, 0, id, id};
}

std::uint32_t waitProcess(const ProcessInfo& process, std::uint32_t ms) {
    if (process.process <= 0) return stillActive;
    int fd = static_cast<int>(process.process);
    pollfd ready{fd, POLLIN, 0};
    // A signal cuts the wait short; the limit applies to the whole wait.
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        int rc = poll(&ready, 1, static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX)));
        if (rc >= 0 || errno != EINTR) break;
    }
    // Read the status without reaping, so it can be read again; closeProcess reaps.
    siginfo_t info{};
    if (waitid(P_PIDFD, static_cast<id_t>(fd), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
        info.si_pid == 0)
        return stillActive;
    if (info.si_code == CLD_EXITED) return static_cast<std::uint32_t>(info.si_status);
    return 128 + static_cast<std::uint32_t>(info.si_status); // ended by a signal
}

void closeProcess(ProcessInfo& process) {
    if (process.process > 0) {
        int fd = static_cast<int>(process.process);
        siginfo_t info{};
        // A game that has ended is reaped here; one that still runs is reaped once it ends.
        bool running = waitid(P_PIDFD, static_cast<id_t>(fd), &info, WEXITED | WNOHANG) == 0 &&
                       info.si_pid == 0;
        if (!running || !reaper().take(fd)) close(fd);
    }
    process.process = 0;
    process.thread = 0;
}

} // namespace zolta_launcher

namespace zolta_launcher::platform {

std::uint64_t milliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

std::uint32_t processId() {
    return static_cast<std::uint32_t>(getpid());
}

} // namespace zolta_launcher::platform
