// Attacks on the loopback broker that renews a running child's grant: clients without the key or with a
// wrong one, floods of idle connections, clients that drip one byte at a time. None of them gets a
// grant, and none keeps a correct request from being answered within a second.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "accounts/editor_session_broker.h"
#include "accounts/game_session.h"
#include "common/interruption.h"
#include "tests/support/tcp_client.h"

namespace orlex::accounts {
namespace {

using namespace std::chrono_literals;
using test::TcpClient;

constexpr std::chrono::milliseconds PROMPT{1000};

// A connection begun without waiting for the server to take it: the kernel completes it, or keeps
// trying while the server's queue is full, as an attacker's tool would.
class SilentConnection {
public:
    explicit SilentConnection(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        (void)::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    SilentConnection(SilentConnection&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    ~SilentConnection() {
        if (fd_ >= 0)
            ::close(fd_);
    }

private:
    int fd_;
};

std::vector<SilentConnection> openSilentConnections(const std::string& url, int count) {
    const auto port = static_cast<std::uint16_t>(std::stoi(url.substr(url.rfind(':') + 1)));
    std::vector<SilentConnection> connections;
    for (int i = 0; i < count; ++i)
        connections.emplace_back(port);
    return connections;
}

class BrokerAttack : public ::testing::Test {
protected:
    std::atomic<int> grants{0};
    EditorSessionBroker broker{[this] {
        ++grants;
        const std::string realtime = "wss://play.orlex.example/realtime";
        return EditorSessionBroker::Grant{"jeton", realtime, publishAddress(realtime), {"worldbuilder.open"}};
    }};

    std::string request(const std::string& key) const {
        return "POST /grant HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + key + "\r\n\r\n";
    }
    // A request with the broker's key, sent by a fresh client that waits at most PROMPT for the answer.
    std::string promptRequest() const {
        TcpClient client(broker.url(), PROMPT);
        if (!client.send(request(broker.key())))
            return "not sent";
        return client.answer();
    }
};

TEST_F(BrokerAttack, FloodsOfIdleAndDrippingClientsNeverKeepACorrectRequestOut) {
    std::string wrongKey = broker.key();  // the right length, one character off
    wrongKey[20] = wrongKey[20] == 'A' ? 'B' : 'A';

    // A thousand connections at once, held open and silent, wrong keys mixed in; prompt requests meanwhile.
    const std::vector<SilentConnection> flood = openSilentConnections(broker.url(), 1000);
    std::vector<std::string> refusals;
    std::jthread refused([&] {
        for (int i = 0; i < 20; ++i) {
            TcpClient wrong(broker.url(), 10s);
            wrong.send(i % 2 ? request(wrongKey) : "POST /grant HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
            refusals.push_back(wrong.answer());
        }
    });
    std::vector<std::string> duringFlood;
    for (int i = 0; i < 5; ++i) {
        duringFlood.push_back(promptRequest());
        std::this_thread::sleep_for(100ms);
    }
    refused.join();
    for (const std::string& answer : duringFlood)
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << answer;
    ASSERT_EQ(refusals.size(), 20u);
    for (const std::string& answer : refusals)  // refused, or closed unread when the flood pushed it out
        EXPECT_TRUE(answer.empty() || answer.starts_with("HTTP/1.1 403 Forbidden\r\n")) << answer;
    EXPECT_TRUE(promptRequest().starts_with("HTTP/1.1 200 OK\r\n"));

    // Clients that fill every slot with a head that never ends, one byte a second.
    std::vector<std::unique_ptr<TcpClient>> drippers;
    for (std::size_t i = 0; i < EditorSessionBroker::CONNECTION_LIMIT; ++i)
        drippers.push_back(std::make_unique<TcpClient>(broker.url(), 10s));
    std::jthread dripping([&](std::stop_token stop) {
        const std::string slow = "POST /grant HTTP/1.1\r\nX-Slow: aaaaaaaaaaaaaaaaaaaa";
        for (std::size_t at = 0; at < slow.size() && !stop.stop_requested(); ++at) {
            for (const auto& client : drippers)
                client->send(slow.substr(at, 1));
            std::this_thread::sleep_for(1s);
        }
    });
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(promptRequest().starts_with("HTTP/1.1 200 OK\r\n"));
    dripping.request_stop();

    EXPECT_EQ(grants.load(), 7);  // the prompt requests alone
}

}  // namespace
}  // namespace orlex::accounts
