#include "testhost.h"

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "launcher_core.h"
#include "shell.h"

namespace testhost {

bool page = true;
std::atomic<bool> refuse{false};
std::atomic<bool> hold{false};
std::vector<std::string> wire;
std::deque<std::filesystem::path> picks;
int dialogs = 0;
std::vector<std::u16string> opened;
launcher::host::LocalTime clock{9, 7};

namespace {

// Payloads come from worker threads; the test thread takes them out.
std::mutex lock;
std::condition_variable arrived;
std::deque<nlohmann::json*> payloads;

nlohmann::json* take(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> held(lock);
    if (!arrived.wait_until(held, until, [] { return !payloads.empty(); })) return nullptr;
    auto* payload = payloads.front();
    payloads.pop_front();
    return payload;
}

} // namespace

std::vector<nlohmann::json> messages() {
    std::vector<nlohmann::json> parsed;
    for (const auto& text : wire) parsed.push_back(nlohmann::json::parse(text));
    return parsed;
}

std::vector<std::string> notices() {
    std::vector<std::string> texts;
    for (auto message : messages()) {
        if (message["type"] == "notice") texts.push_back(message["message"]);
    }
    return texts;
}

std::vector<std::string> kinds() {
    std::vector<std::string> found;
    for (auto message : messages()) {
        if (message["type"] == "notice") found.push_back(message["kind"]);
    }
    return found;
}

nlohmann::json lastState() {
    nlohmann::json last;
    for (auto message : messages()) {
        if (message["type"] == "state") last = message["data"];
    }
    return last;
}

std::size_t queued() {
    std::lock_guard<std::mutex> held(lock);
    return payloads.size();
}

void runQueue() {
    while (auto* payload = take(std::chrono::steady_clock::now())) launcher::handlePayload(payload);
}

bool finish(std::chrono::seconds limit, const std::function<void()>& after) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (launcher::working) {
        auto* payload = take(until);
        if (!payload) return false;
        launcher::handlePayload(payload);
        if (after) after();
    }
    return true;
}

void reset(const std::filesystem::path& support) {
    static const nlohmann::json initial = launcher::state;
    hold = false; // a held job could not end
    if (launcher::worker.joinable()) launcher::worker.join();
    runQueue();
    launcher::support = support;
    launcher::managed = support / "Games/OrbelZolta-Windows";
    launcher::game.clear();
    launcher::state = initial;
    launcher::cancelled = false;
    launcher::working = false;
    launcher::ready = false;
    page = true;
    refuse = false;
    wire.clear();
    picks.clear();
    dialogs = 0;
    opened.clear();
    clock = {9, 7};
}

Folder::Folder() {
    std::random_device seed;
    auto base = std::filesystem::temp_directory_path();
    do {
        path = base / ("shell-test-" + std::to_string(seed()));
    } while (!std::filesystem::create_directory(path));
}

Folder::~Folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void write(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out << text;
}

std::string read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::filesystem::path layGame(const std::filesystem::path& folder, const std::string& name) {
    std::string image(64 + 264, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    image[60] = 64; // e_lfanew
    image.replace(64, 6, std::string("PE\0\0\x64\x86", 6));
    write(folder / name, image);
    write(folder / "assets/runtime/scene.bin", "scene");
    write(folder / "assets/runtime/scene.json", "{}");
    return folder / name;
}

} // namespace testhost

namespace launcher::host {

bool postPayload(nlohmann::json* payload) {
    while (testhost::hold) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (testhost::refuse) return false;
    {
        std::lock_guard<std::mutex> held(testhost::lock);
        testhost::payloads.push_back(payload);
    }
    testhost::arrived.notify_one();
    return true;
}

bool hasPage() {
    return testhost::page;
}

void postToPage(const std::u16string& json) {
    testhost::wire.push_back(zolta_launcher::narrow(json));
}

std::filesystem::path pickGame() {
    ++testhost::dialogs;
    if (testhost::picks.empty()) return {};
    auto chosen = testhost::picks.front();
    testhost::picks.pop_front();
    return chosen;
}

void open(const std::u16string& target) {
    testhost::opened.push_back(target);
}

void endProcess(int code) {
    std::_Exit(code);
}

LocalTime localTime() {
    return testhost::clock;
}

} // namespace launcher::host
