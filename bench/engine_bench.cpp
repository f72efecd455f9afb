// Drives the release engine for the benchmarks in bench/engine_bench.sh and prints one line of figures.
//   orlex-engine-bench install BASE PUBLIC_KEY ROOT   fetch, plan and install the channel's release
//   orlex-engine-bench verify PUBLIC_KEY ROOT         verifiedRelease() on every core
//   orlex-engine-bench hash1 PUBLIC_KEY ROOT          the same files hashed one after another on one core
//   orlex-engine-bench startcheck BASE PUBLIC_KEY ROOT the launcher's start check: fetch and plan the
//                                                     channel's release, install it only when needed
#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "update/digest.h"
#include "update/patcher.h"

namespace {

using namespace orlex;
using Clock = std::chrono::steady_clock;

update::Ed25519Key readKey(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> der((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
    return update::publicKey(der);
}

// Bytes this process has read so far through read() and friends, page cache hits included.
long long readChars() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value) {
        if (key == "rchar:")
            return value;
    }
    return -1;
}

long peakKib() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void report(const char* what, Clock::time_point started, std::int64_t bytes) {
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::cout << what << " seconds=" << seconds << " bytes=" << bytes << " mbps=" << bytes / seconds / 1e6
              << " peak_rss_kib=" << peakKib() << '\n';
}

std::int64_t releaseBytes(const update::Signed& release) {
    std::int64_t total = 0;
    for (const auto& entry : release.manifest.files)
        total += entry.size;
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        // The engine trusts the bench's own channel server besides the system store.
        update::PatcherSettings settings;
        if (const char* store = std::getenv("ORLEX_BENCH_TRUSTSTORE"))
            settings.transport.trust.store = store;
        if (args.size() == 4 && args[0] == "install") {
            update::Patcher engine(args[1], readKey(args[2]), args[3], "client", settings);
            const auto started = Clock::now();
            const update::Signed release = engine.remote();
            const update::Plan plan = engine.plan(release);
            engine.install(plan);
            report("install", started, plan.bytes);
            return 0;
        }
        if (args.size() == 4 && args[0] == "startcheck") {
            update::Patcher engine(args[1], readKey(args[2]), args[3], "client", settings);
            const auto started = Clock::now();
            const long long before = readChars();
            const update::Signed release = engine.remote();
            const update::Plan plan = engine.plan(release);
            const std::optional<update::Signed> installed = engine.installed();
            if (!installed || installed->id != release.id || plan.files > 0)
                engine.install(plan);
            const long long read = readChars() - before;
            report("startcheck", started, releaseBytes(release));
            std::cout << "startcheck read_bytes=" << read << '\n';
            return 0;
        }
        if (args.size() == 3 && (args[0] == "verify" || args[0] == "hash1")) {
            update::Patcher engine("https://127.0.0.1/unused/", readKey(args[1]), args[2], "client");
            const update::Signed release = *engine.installed();
            const auto started = Clock::now();
            if (args[0] == "verify") {
                (void)engine.verifiedRelease();
            } else {
                const auto dir = args[2] + "/releases/" + [&] {
                    std::ifstream pointer(args[2] + "/current");
                    std::string name;
                    pointer >> name;
                    return name;
                }();
                for (const auto& entry : release.manifest.files)
                    update::hash(std::filesystem::path(dir) / entry.path);
            }
            report(args[0].c_str(), started, releaseBytes(release));
            return 0;
        }
        std::cerr << "usage: orlex-engine-bench install BASE PUBLIC_KEY ROOT | verify PUBLIC_KEY ROOT | "
                     "hash1 PUBLIC_KEY ROOT | startcheck BASE PUBLIC_KEY ROOT\n";
        return 2;
    } catch (const std::exception& failure) {
        std::cerr << failure.what() << '\n';
        return 1;
    }
}
