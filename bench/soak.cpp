// Long-use figures for bench/soak.sh: resident memory (VmRSS) and open descriptors of this process while
// one long-running part of the launcher works, sampled as it goes.
//   orlex-soak probe BASE PUBLIC_KEY ROOT ITERATIONS
//       A Launcher on the channel BASE ("https://…/client/", launcher releases at "../launcher/") and
//       ROOT, with a window that runs what is posted to it on its own thread. Installs the game release
//       as the managed start does and the launcher release as the running one, then runs the update
//       probe ITERATIONS times on its own thread "orlex-update-monitor", one after the other without the
//       pause between them, then ITERATIONS times again with the game marked not ready before each probe
//       (every probe then plans). Samples before the first probe of each series and after every
//       hundredth.
//   orlex-soak broker REQUESTS SLOW_CLIENTS SLOW_SECONDS
//       An editor session broker whose provider returns a fixed grant. REQUESTS correct requests one
//       after the other (sampled before and after every thousandth), then SLOW_CLIENTS connections at
//       once, each sending one byte of a head every 200 ms for SLOW_SECONDS, while correct requests keep
//       being made; sampled again once those connections are closed.
// Each sample is one line "sample <mode> <label> rss_kib=… fds=… seconds=…" (seconds since the start);
// figures follow as "key=value" lines.
// The trust store for the channel server: the environment variable ORLEX_BENCH_TRUSTSTORE.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "accounts/editor_session_broker.h"
#include "common/executor.h"
#include "common/preferences.h"
#include "launcher/launcher.h"
#include "launcher/launcher_view.h"
#include "update/signature.h"

namespace {

using namespace orlex;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long rssKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmRSS:"))
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// The descriptors open in this process, without the one the listing itself holds.
long openDescriptors() {
    long count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count - 1;
}

const Clock::time_point STARTED = Clock::now();

void sample(const char* mode, const std::string& label) {
    std::cout << "sample " << mode << ' ' << label << " rss_kib=" << rssKib() << " fds=" << openDescriptors()
              << " seconds=" << std::chrono::duration<double>(Clock::now() - STARTED).count() << std::endl;
}

// Times in seconds, kept in memory that is made resident up front: recording them does not move the
// figures being sampled. Beyond capacity, times are counted but not kept.
class Timings {
public:
    explicit Timings(std::size_t capacity) : values_(capacity, 0.0) {}

    void add(double seconds) {
        if (count_ < values_.size())
            values_[count_] = seconds;
        ++count_;
    }
    std::size_t count() const { return count_; }
    // The time below which share of the kept times lie (0.5: the median), in milliseconds.
    double quantileMs(double share) const {
        std::vector<double> kept(
            values_.begin(), values_.begin() + static_cast<std::ptrdiff_t>(std::min(count_, values_.size())));
        if (kept.empty())
            return 0;
        std::sort(kept.begin(), kept.end());
        return kept[std::min(kept.size() - 1, static_cast<std::size_t>(share * kept.size()))] * 1000;
    }
    std::size_t over(double seconds) const {
        return static_cast<std::size_t>(std::count_if(
            values_.begin(), values_.begin() + static_cast<std::ptrdiff_t>(std::min(count_, values_.size())),
            [&](double value) { return value > seconds; }));
    }

private:
    std::vector<double> values_;
    std::size_t count_ = 0;
};

update::Ed25519Key readKey(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> der((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
    return update::publicKey(der);
}

// The window the probe reports to: what is posted runs on a thread of its own, as the Qt window runs it
// on its GUI thread; it keeps only the last status and how many probe failures it was shown.
class SoakView : public launcher::LauncherView {
public:
    ~SoakView() override { ui_.shutdown(); }

    void post(std::function<void()> fn) override { ui_.submit(std::move(fn)); }
    bool onUiThread() const override { return ui_.onWorkerThread(); }
    bool displayable() const override { return true; }

    void setStatus(const std::string& text) override {
        if (text.starts_with("Vérification des mises à jour indisponible"))
            ++probeFailures;
        const std::lock_guard lock(mutex_);
        status_ = text;
    }
    void setControlsEnabled(bool, bool) override {}
    void setActionText(const std::string&) override {}
    void setActionVisible(bool) override {}
    void setBar(int) override {}
    void setTransfer(const std::string&) override {}
    void showInstallation(const launcher::InstallationState& state) override {
        const std::lock_guard lock(mutex_);
        status_ = state.status;
    }
    void showLauncherUpdate(const update::Plan&) override { ++offers; }
    void showLauncherCurrent() override {}
    void showGameUpdate(const update::Plan&) override { ++offers; }

    std::string status() const {
        const std::lock_guard lock(mutex_);
        return status_;
    }
    // Returns once everything posted so far has run.
    void settle() {
        std::promise<void> done;
        ui_.submit([&] { done.set_value(); });
        done.get_future().wait();
    }
    void shutdown() { ui_.shutdown(); }

    std::atomic<int> probeFailures{0};
    std::atomic<int> offers{0};

private:
    mutable std::mutex mutex_;
    std::string status_;
    common::Executor ui_{"soak-ui"};
};

int probe(const std::string& base, const std::string& keyFile, const std::filesystem::path& root,
          int iterations) {
    common::usePreferenceDirectory((root.parent_path() / "preferences").string());
    launcher::LauncherConfig config;
    config.channel = base;
    config.root = root;
    if (const char* store = std::getenv("ORLEX_BENCH_TRUSTSTORE"))
        config.engine.transport.trust.store = store;
    auto launcher = std::make_unique<launcher::Launcher>(config, readKey(keyFile));
    auto view = std::make_shared<SoakView>();
    launcher->attachView(view);
    launcher::GameInstallation& installation = launcher->installation();

    installation.ensureGameInstalled();
    update::Patcher& launcherEngine = installation.launcherEngine();
    launcherEngine.install(launcherEngine.plan(launcherEngine.remote()));
    view->settle();
    std::cout << "installed status=\"" << view->status() << "\"" << std::endl;

    // Each probe on the probe's own thread, as the schedule runs it; the next starts when it has ended.
    const auto probeOnce = [&] {
        std::promise<void> done;
        installation.updateMonitor().submit([&] {
            installation.monitorUpdates();
            done.set_value();
        });
        done.get_future().wait();
    };
    // series: "probe", the probe as a current installation meets it every time (the channel's two
    // releases fetched and compared with the ones last checked); "probe-replan", the same with the game
    // marked not ready before each probe, as a failed operation leaves it, so that every probe also plans
    // the game release (the root's lock taken, every installed file hashed).
    const auto run = [&](const char* series, bool replan) {
        Timings seconds(static_cast<std::size_t>(iterations));
        sample(series, "0");
        for (int i = 1; i <= iterations; ++i) {
            if (replan)
                installation.markNotReady();
            const auto started = Clock::now();
            probeOnce();
            seconds.add(std::chrono::duration<double>(Clock::now() - started).count());
            if (i % 100 == 0) {
                view->settle();
                sample(series, std::to_string(i));
            }
        }
        std::cout << series << "_median_ms=" << seconds.quantileMs(0.5) << std::endl;
    };
    run("probe", false);
    run("probe-replan", true);
    view->settle();
    const bool ready = installation.ready();
    std::cout << "probe_failures=" << view->probeFailures.load() << "\noffers=" << view->offers.load()
              << "\nready=" << ready << "\nlast_status=\"" << view->status() << "\"" << std::endl;
    view->shutdown();
    launcher.reset();
    return view->probeFailures.load() == 0 && view->offers.load() == 0 && ready ? 0 : 1;
}

// ---- broker -----------------------------------------------------------------------------------------

// A TCP connection to the broker's port on 127.0.0.1; closed with the object. A prompt client connects
// and waits as a normal one does; a slow one starts connecting and never waits.
class Client {
public:
    enum class Mode { Prompt, Slow };

    Client(std::uint16_t port, Mode mode)
        : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (mode == Mode::Slow ? SOCK_NONBLOCK : 0), 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int status =
            fd_ < 0 ? -1 : ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        connected_ = status == 0 || (mode == Mode::Slow && errno == EINPROGRESS);
    }
    ~Client() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // For a slow client: the connection was at least started.
    bool connected() const { return connected_; }
    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }
    // A slow client's next byte, without waiting: 1 when it went out, 0 when the connection is not yet
    // accepted by the system or has no room, -1 when the broker has closed it.
    int drip(char byte) {
        if (::send(fd_, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1)
            return 1;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
    // Everything until the broker closes the connection.
    std::string answer() {
        std::string text;
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
            if (got <= 0)
                return text;
            text.append(buffer, static_cast<std::size_t>(got));
        }
    }

private:
    int fd_;
    bool connected_ = false;
};

std::uint16_t portOf(const std::string& url) {
    const std::size_t colon = url.rfind(':');
    return static_cast<std::uint16_t>(std::stoi(url.substr(colon + 1)));
}

int broker(int requests, int slowClients, int slowSeconds) {
    accounts::EditorSessionBroker broker([] {
        return accounts::EditorSessionBroker::Grant{"jeton-de-session",
                                                    "wss://127.0.0.1:1/realtime",
                                                    "https://127.0.0.1:1/publish",
                                                    {"worldbuilder.open"}};
    });
    const std::uint16_t port = portOf(broker.url());
    const std::string request = "POST /grant HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nAuthorization: Bearer " + broker.key() + "\r\nContent-Length: 0\r\n\r\n";
    // One correct request; its time in seconds, or a negative value when it was not answered with the
    // grant, counted by kind: not connected or not sent, closed without an answer, another answer.
    int notSent = 0, unanswered = 0, otherAnswer = 0;
    const auto grant = [&] {
        const auto started = Clock::now();
        Client client(port, Client::Mode::Prompt);
        if (!client.connected() || !client.send(request)) {
            ++notSent;
            return -1.0;
        }
        const std::string answer = client.answer();
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        if (answer.starts_with("HTTP/1.1 200 ") && answer.find("worldbuilder.open") != std::string::npos)
            return seconds;
        ++(answer.empty() ? unanswered : otherAnswer);
        return -1.0;
    };

    int failed = 0;
    Timings sequential(static_cast<std::size_t>(requests));
    Timings duringSlow(200'000);  // a few thousand a second here
    sample("broker", "0");
    const auto sequentialStart = Clock::now();
    for (int i = 1; i <= requests; ++i) {
        const double seconds = grant();
        if (seconds < 0)
            ++failed;
        else
            sequential.add(seconds);
        if (i % 1000 == 0)
            sample("broker", std::to_string(i));
    }
    const double sequentialSeconds = std::chrono::duration<double>(Clock::now() - sequentialStart).count();

    // The slow clients: every connection started at once, then from one thread one byte of a correct
    // head each per 200 ms, until the time is up (the head is never whole by then); a connection the
    // broker has closed is left alone.
    std::atomic<bool> slowDone{false};
    int slowRefused = 0;
    std::vector<std::unique_ptr<Client>> slow;
    for (int i = 0; i < slowClients; ++i) {
        slow.push_back(std::make_unique<Client>(port, Client::Mode::Slow));
        if (!slow.back()->connected())
            ++slowRefused;
    }
    std::vector<std::size_t> sent(slow.size(), 0);
    std::vector<bool> closedByBroker(slow.size(), false);
    std::jthread dripping([&] {
        const auto end = Clock::now() + std::chrono::seconds(slowSeconds);
        while (Clock::now() < end) {
            for (std::size_t c = 0; c < slow.size(); ++c) {
                if (closedByBroker[c])
                    continue;
                const int result = slow[c]->drip(request[sent[c] % request.size()]);
                if (result > 0)
                    ++sent[c];
                else if (result < 0)
                    closedByBroker[c] = true;
            }
            std::this_thread::sleep_for(200ms);
        }
        slowDone = true;
    });
    int failedDuringSlow = 0;
    while (!slowDone) {
        const double seconds = grant();
        if (seconds < 0)
            ++failedDuringSlow;
        else
            duringSlow.add(seconds);
    }
    dripping.join();
    sample("broker", "slow-clients-open");
    slow.clear();
    // Lets the broker see the closed connections and drop its side of them.
    for (int i = 0; i < 20; ++i) {
        if (grant() < 0)
            ++failed;
    }
    std::this_thread::sleep_for(500ms);
    sample("broker", "after-slow-clients");
    for (int i = 1; i <= 1000; ++i) {
        if (grant() < 0)
            ++failed;
    }
    sample("broker", "after-1000-more");

    std::cout << "failed=" << failed << "\nsequential_median_ms=" << sequential.quantileMs(0.5)
              << "\nsequential_p99_ms=" << sequential.quantileMs(0.99)
              << "\nsequential_max_ms=" << sequential.quantileMs(1)
              << "\nsequential_seconds=" << sequentialSeconds
              << "\nduring_slow_answered=" << duringSlow.count()
              << "\nduring_slow_failed=" << failedDuringSlow
              << "\nduring_slow_median_ms=" << duringSlow.quantileMs(0.5)
              << "\nduring_slow_p99_ms=" << duringSlow.quantileMs(0.99)
              << "\nduring_slow_max_ms=" << duringSlow.quantileMs(1)
              << "\nduring_slow_over_500_ms=" << duringSlow.over(0.5) << "\nfailures_not_sent=" << notSent
              << "\nfailures_closed_unanswered=" << unanswered << "\nfailures_other_answer=" << otherAnswer
              << "\nslow_refused=" << slowRefused << "\nslow_that_sent_bytes="
              << std::count_if(sent.begin(), sent.end(), [](std::size_t n) { return n > 0; })
              << "\nslow_bytes_sent=" << std::accumulate(sent.begin(), sent.end(), std::size_t{0})
              << "\nslow_closed_by_broker=" << std::count(closedByBroker.begin(), closedByBroker.end(), true)
              << std::endl;
    broker.close();
    return failed == 0 && failedDuringSlow == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 5 && args[0] == "probe")
            return probe(args[1], args[2], args[3], std::stoi(args[4]));
        if (args.size() == 4 && args[0] == "broker")
            return broker(std::stoi(args[1]), std::stoi(args[2]), std::stoi(args[3]));
        std::cerr << "usage: orlex-soak probe BASE PUBLIC_KEY ROOT ITERATIONS | "
                     "broker REQUESTS SLOW_CLIENTS SLOW_SECONDS\n";
        return 2;
    } catch (const std::exception& failure) {
        std::cerr << failure.what() << '\n';
        return 1;
    }
}
