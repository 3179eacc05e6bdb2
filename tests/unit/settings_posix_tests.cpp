#include <gtest/gtest.h>

#include "errors.h"

#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "shell.h"
#include "testhost.h"

namespace fs = std::filesystem;

namespace {

// Runs body on a thread of its own that honours file permissions even as root: capabilities
// belong to a thread, so the rest of the test binary keeps its own.
void withoutPermissionOverride(const std::function<void()>& body) {
    std::thread([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
        ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
        data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
        body();
    }).join();
}

} // namespace

// Once the new file has replaced the old, the save has happened: a folder that cannot be flushed
// afterwards must not turn it into a reported failure.
TEST(Settings, SaveSucceedsOnceTheFileIsReplaced) {
    testhost::Folder folder;
    testhost::reset(folder.path);
    testhost::write(folder.path / "settings.json", R"({"autoCheck":true,"gamePath":""})");
    launcher::game = folder.path / "OrbelZolta.exe";
    // Names can be created and replaced in the folder, but it cannot be opened to flush it.
    fs::permissions(folder.path, fs::perms::owner_write | fs::perms::owner_exec);
    std::string error;
    withoutPermissionOverride([&] { error = errorText(launcher::save); });
    fs::permissions(folder.path, fs::perms::owner_all);
    EXPECT_EQ(error, "(no error)");
    EXPECT_NE(testhost::read(folder.path / "settings.json").find("OrbelZolta.exe"),
              std::string::npos);
    testhost::reset(folder.path);
}
