#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "discord/local_ipc.h"

namespace orlex::discord {

// A pipe whose read end becomes readable for good on signal(): nothing ever drains it.
struct IpcWake::Handles {
    int readEnd = -1;
    int writeEnd = -1;
};

namespace {

#ifdef MSG_NOSIGNAL
constexpr int SEND_FLAGS = MSG_NOSIGNAL;  // a peer gone away is a failure, not a SIGPIPE
#else
constexpr int SEND_FLAGS = 0;
#endif

// How often a connect refused for a full backlog is tried again before its time-out.
constexpr std::chrono::milliseconds BACKLOG_RETRY{50};

using Clock = std::chrono::steady_clock;

std::string systemError(int error) {
    return std::strerror(error);
}

common::IoFailure interrupted() {
    return common::IoFailure("Discord IPC interrompu");
}

enum class Waited { Ready, Woken, TimedOut };

// Waits until fd is ready for events (a negative fd is never ready), the wake is signalled, or the
// deadline (when given) has passed. The wake wins over the other two.
Waited waitFor(int fd, short events, const IpcWake& wake, std::optional<Clock::time_point> deadline) {
    pollfd watched[] = {{fd, events, 0}, {wake.handles().readEnd, POLLIN, 0}};
    for (;;) {
        int timeoutMs = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            timeoutMs = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
        const int ready = ::poll(watched, 2, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            throw common::IoFailure("Attente Discord IPC impossible : " + systemError(errno));
        if (watched[1].revents != 0)
            return Waited::Woken;
        return ready == 0 ? Waited::TimedOut : Waited::Ready;
    }
}

// A non-blocking socket: every wait goes through waitFor, so the wake ends it.
class SocketConnection final : public Connection {
public:
    SocketConnection(int fd, const IpcWake& wake) : fd_(fd), wake_(wake) {}
    SocketConnection(const SocketConnection&) = delete;
    SocketConnection& operator=(const SocketConnection&) = delete;
    ~SocketConnection() override { ::close(fd_); }

    void write(std::string_view bytes) override {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), SEND_FLAGS);
            if (sent >= 0) {
                bytes.remove_prefix(static_cast<std::size_t>(sent));
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (waitFor(fd_, POLLOUT, wake_, std::nullopt) == Waited::Woken)
                    throw interrupted();
            } else if (errno != EINTR) {
                throw common::IoFailure("Écriture Discord IPC impossible : " + systemError(errno));
            }
        }
    }

    std::size_t read(char* buffer, std::size_t size) override {
        for (;;) {
            const ssize_t got = ::recv(fd_, buffer, size, 0);
            if (got >= 0)
                return static_cast<std::size_t>(got);
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (waitFor(fd_, POLLIN, wake_, std::nullopt) == Waited::Woken)
                    throw interrupted();
            } else if (errno != EINTR) {
                throw common::IoFailure("Lecture Discord IPC impossible : " + systemError(errno));
            }
        }
    }

private:
    int fd_;
    const IpcWake& wake_;
};

// One socket; fails with IoFailure naming the path. A local stream socket connects or fails at once,
// except that a listener whose backlog is full refuses a non-blocking connect with EAGAIN and gives no
// sign when room appears: the connect is tried again every BACKLOG_RETRY until connectTimeout.
std::shared_ptr<Connection> connectTo(const std::filesystem::path& path, const IpcWake& wake,
                                      std::chrono::milliseconds connectTimeout) {
    const std::string name = path.string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.size() >= sizeof address.sun_path)
        throw common::IoFailure(name + " : chemin trop long");
    std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        throw common::IoFailure(name + " : " + systemError(errno));
    auto connection = std::make_shared<SocketConnection>(fd, wake);  // closes fd on failure
    const Clock::time_point deadline = Clock::now() + connectTimeout;
    while (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EAGAIN)
            throw common::IoFailure(name + " : " + systemError(errno));
        if (Clock::now() >= deadline)
            throw common::IoFailure(name + " : délai de connexion dépassé");
        if (waitFor(-1, 0, wake, std::min(deadline, Clock::now() + BACKLOG_RETRY)) == Waited::Woken)
            throw interrupted();
    }
    return connection;
}

}  // namespace

IpcWake::IpcWake() : handles_(std::make_unique<Handles>()) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw common::IoFailure("Réveil Discord IPC impossible : " + systemError(errno));
    handles_->readEnd = ends[0];
    handles_->writeEnd = ends[1];
}

IpcWake::~IpcWake() {
    ::close(handles_->readEnd);
    ::close(handles_->writeEnd);
}

void IpcWake::signal() noexcept {
    signalled_ = true;
    // One byte is enough; a full pipe (EAGAIN) is already readable.
    const char byte = 1;
    while (::write(handles_->writeEnd, &byte, 1) < 0 && errno == EINTR) {
    }
}

std::shared_ptr<Connection> openSocketIn(const std::vector<std::filesystem::path>& directories,
                                         const IpcWake& wake, std::chrono::milliseconds connectTimeout) {
    std::vector<std::exception_ptr> failures;
    for (const std::filesystem::path& directory : directories) {
        for (int index = 0; index < 10; ++index) {
            try {
                return connectTo(directory / ("discord-ipc-" + std::to_string(index)), wake, connectTimeout);
            } catch (const common::IoFailure&) {
                if (wake.signalled())
                    throw interrupted();
                failures.push_back(std::current_exception());
            }
        }
    }
    throw DiscordUnavailable(std::move(failures));
}

std::shared_ptr<Connection> openLocalIpc(const IpcWake& wake, std::chrono::milliseconds connectTimeout) {
    return openSocketIn(socketDirectories(), wake, connectTimeout);
}

std::int64_t processId() {
    return static_cast<std::int64_t>(::getpid());
}

}  // namespace orlex::discord
