#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "discord/local_ipc.h"

namespace orlex::discord {
namespace {

#ifdef MSG_NOSIGNAL
constexpr int SEND_FLAGS = MSG_NOSIGNAL;  // a peer gone away is a failure, not a SIGPIPE
#else
constexpr int SEND_FLAGS = 0;
#endif

std::string systemError(int error) {
    return std::strerror(error);
}

class SocketConnection final : public Connection {
public:
    explicit SocketConnection(int fd) : fd_(fd) {}
    SocketConnection(const SocketConnection&) = delete;
    SocketConnection& operator=(const SocketConnection&) = delete;
    ~SocketConnection() override { ::close(fd_); }

    void write(std::string_view bytes) override {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), SEND_FLAGS);
            if (sent < 0) {
                if (errno == EINTR)
                    continue;
                throw common::IoFailure("Écriture Discord IPC impossible : " + systemError(errno));
            }
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
    }

    std::size_t read(char* buffer, std::size_t size) override {
        for (;;) {
            const ssize_t got = ::recv(fd_, buffer, size, 0);
            if (got >= 0)
                return static_cast<std::size_t>(got);
            if (errno != EINTR)
                throw common::IoFailure("Lecture Discord IPC impossible : " + systemError(errno));
        }
    }

    // shutdown, not close: the descriptor stays valid for the worker that may be blocked on it.
    void interrupt() noexcept override { ::shutdown(fd_, SHUT_RDWR); }

private:
    int fd_;
};

// One socket; fails with IoFailure naming the path.
std::shared_ptr<Connection> connectTo(const std::filesystem::path& path) {
    const std::string name = path.string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.size() >= sizeof address.sun_path)
        throw common::IoFailure(name + " : chemin trop long");
    std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw common::IoFailure(name + " : " + systemError(errno));
    auto connection = std::make_shared<SocketConnection>(fd);  // closes fd on failure
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw common::IoFailure(name + " : " + systemError(errno));
    return connection;
}

}  // namespace

std::shared_ptr<Connection> openSocketIn(const std::vector<std::filesystem::path>& directories) {
    std::vector<std::exception_ptr> failures;
    for (const std::filesystem::path& directory : directories) {
        for (int index = 0; index < 10; ++index) {
            try {
                return connectTo(directory / ("discord-ipc-" + std::to_string(index)));
            } catch (const common::IoFailure&) {
                failures.push_back(std::current_exception());
            }
        }
    }
    throw DiscordUnavailable(std::move(failures));
}

std::shared_ptr<Connection> openLocalIpc() {
    return openSocketIn(socketDirectories());
}

std::int64_t processId() {
    return static_cast<std::int64_t>(::getpid());
}

}  // namespace orlex::discord
