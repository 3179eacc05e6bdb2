// Preloaded into the crash test's install child: ends it with SIGKILL right before or right after
// its Nth folder move (rename) or Nth removal (unlinkat), so a kill lands exactly between the
// moves of an activation or inside a removal, however fast. Linux only.
//
//   KILL_AT="rename 2 before" | "remove 500 after"   the call to kill at, counted from 1
//   KILL_TRACE=FILE                                   appends "rename FROM" or "remove PATH"
//                                                     for every call, in order
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <unistd.h>

namespace {

std::atomic<long> renames = 0, removals = 0;

// The folder a descriptor names, so a relative removal can be traced by its whole path.
std::string folderOf(int fd) {
    if (fd == AT_FDCWD) return {};
    char link[64], target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0) return {};
    return std::string(target, static_cast<std::size_t>(length)) + "/";
}

void trace(const char* kind, const std::string& path) {
    static int out = [] {
        const char* file = std::getenv("KILL_TRACE");
        return file ? open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
    }();
    if (out < 0) return;
    std::string line = std::string(kind) + " " + path + "\n";
    if (write(out, line.data(), line.size()) < 0) std::abort();
}

// Ends the process if KILL_AT names this call of this kind at this moment.
void maybeKill(const char* kind, long count, const char* moment) {
    const char* at = std::getenv("KILL_AT");
    if (!at) return;
    char wantedKind[16], wantedMoment[16];
    long wanted = 0;
    if (std::sscanf(at, "%15s %ld %15s", wantedKind, &wanted, wantedMoment) != 3) return;
    if (count == wanted && !std::strcmp(kind, wantedKind) && !std::strcmp(moment, wantedMoment))
        kill(getpid(), SIGKILL);
}

template <typename Call> Call* next(const char* name) {
    return reinterpret_cast<Call*>(dlsym(RTLD_NEXT, name));
}

template <typename Run>
int watched(const char* kind, std::atomic<long>& counter, const std::string& path, Run run) {
    long count = ++counter;
    trace(kind, path);
    maybeKill(kind, count, "before");
    int result = run();
    maybeKill(kind, count, "after");
    return result;
}

} // namespace

extern "C" int renameat2(int fromFolder, const char* from, int toFolder, const char* to,
                         unsigned flags) noexcept {
    static auto real = next<int(int, const char*, int, const char*, unsigned)>("renameat2");
    return watched("rename", renames, folderOf(fromFolder) + from,
                   [&] { return real(fromFolder, from, toFolder, to, flags); });
}

extern "C" int rename(const char* from, const char* to) noexcept {
    static auto real = next<int(const char*, const char*)>("rename");
    return watched("rename", renames, from, [&] { return real(from, to); });
}

extern "C" int unlinkat(int folder, const char* name, int flags) noexcept {
    static auto real = next<int(int, const char*, int)>("unlinkat");
    return watched("remove", removals, folderOf(folder) + name,
                   [&] { return real(folder, name, flags); });
}
