// The fake service stack as the demo and the end-to-end tests start it: the real program, signed in
// against with the account client and exchanged for a grant.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "accounts/game_session.h"
#include "accounts/halvo_id_client.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_ca.h"

namespace orlex::accounts {
namespace {

// orlex-fake-services running until the end of the test; its two announced endpoints.
class RunningServices {
public:
    explicit RunningServices(const std::vector<std::string>& arguments) {
        int out[2];
        if (::pipe(out) != 0)
            throw std::runtime_error("pipe");
        const std::string program = test::builtProgram("orlex-fake-services").string();
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        output_ = ::fdopen(out[0], "r");
        origin = field("origin ");
        gameSession = field("game-session ");
    }
    ~RunningServices() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        std::fclose(output_);
    }

    std::string origin;
    std::string gameSession;

private:
    std::string field(const std::string& prefix) {
        char line[512];
        if (!std::fgets(line, sizeof line, output_))
            return {};
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        EXPECT_TRUE(text.starts_with(prefix)) << text;
        return text.substr(std::min(prefix.size(), text.size()));
    }

    pid_t pid_ = -1;
    FILE* output_ = nullptr;
};

TEST(FakeServicesProgram, SignsAPlayerInAndGrantsTheirRoles) {
    test::TempDir dir;
    test::TestCa ca(dir / "ca");
    RunningServices services({"--cert", ca.serverCertificate().string(), "--key", ca.serverKey().string(),
                              "--account", "tolin:motdepasse-demo:worldbuilder.open,worldbuilder.use"});
    ASSERT_FALSE(services.origin.empty());
    const HalvoIdSettings service{.origin = services.origin, .trust = {ca.caPem()}};

    HalvoIdClient client(dir / "account-session", service);
    EXPECT_EQ(client.login("tolin", "mauvais"), (Result{false, "Identifiant ou mot de passe incorrect."}));
    EXPECT_EQ(client.login("Tolin", "motdepasse-demo"), (Result{true, "Connexion HALVO ID établie."}));
    EXPECT_TRUE(client.sessionValid());
    const GameGrant grant = exchangeSession({.endpoint = services.gameSession, .trust = {ca.caPem()}},
                                            client.sessionCookieHeader());
    EXPECT_EQ(grant.name, "tolin");
    EXPECT_EQ(grant.roles, (std::set<std::string>{"worldbuilder.open", "worldbuilder.use"}));
    EXPECT_EQ(client.registerAccount("tolin", "T", "t@example.org", "motdepasse-demo", "motdepasse-demo"),
              (Result{true, "Connecté."}));

    HalvoIdClient stranger(dir / "other-session", service);
    EXPECT_EQ(stranger.registerAccount("tolin", "T", "t@example.org", "motdepasse-demo", "motdepasse-demo"),
              (Result{false, "Ce pseudo est déjà utilisé."}));
}

}  // namespace
}  // namespace orlex::accounts
