// orlex-fake-services: the local account service and game session endpoint for the demo and the
// end-to-end tests (see fake_services.h).
//   orlex-fake-services --cert CHAIN.pem --key KEY.pem [--port N] [--fail-sessions N]
//                       [--account NAME:PASSWORD[:ROLE,ROLE...]]...
// Prints "origin <url>" and "game-session <url>" once listening, then serves until it is killed. The
// launcher reaches it with -Dorlex.halvoOrigin=<origin> -Dorlex.gameSession=<game-session> and trusts it
// with -Djavax.net.ssl.trustStore=<the CA that signed CHAIN.pem>.

#include <future>
#include <iostream>
#include <string>
#include <vector>

#include "tools/fake_services.h"

namespace {

int usage() {
    std::cerr << "usage: orlex-fake-services --cert CHAIN.pem --key KEY.pem [--port N] [--fail-sessions N]\n"
                 "                           [--account NAME:PASSWORD[:ROLE,ROLE...]]...\n";
    return 2;
}

orlex::tools::FakeServices::Account parseAccount(const std::string& text) {
    orlex::tools::FakeServices::Account account;
    const std::size_t first = text.find(':');
    if (first == std::string::npos || first == 0)
        throw std::invalid_argument("account");
    account.name = text.substr(0, first);
    const std::size_t second = text.find(':', first + 1);
    account.password =
        text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    if (second != std::string::npos) {
        std::string roles = text.substr(second + 1);
        for (std::size_t at = 0; at <= roles.size();) {
            const std::size_t comma = std::min(roles.find(',', at), roles.size());
            if (comma > at)
                account.roles.insert(roles.substr(at, comma - at));
            at = comma + 1;
        }
    }
    return account;
}

}  // namespace

int main(int argc, char** argv) {
    std::string certificate, key;
    int port = 0, failures = 0;
    std::vector<orlex::tools::FakeServices::Account> accounts;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string option = argv[i];
            if (i + 1 >= argc)
                return usage();
            const std::string value = argv[++i];
            if (option == "--cert")
                certificate = value;
            else if (option == "--key")
                key = value;
            else if (option == "--port")
                port = std::stoi(value);
            else if (option == "--fail-sessions")
                failures = std::stoi(value);
            else if (option == "--account")
                accounts.push_back(parseAccount(value));
            else
                return usage();
        }
    } catch (const std::exception&) {
        return usage();
    }
    if (certificate.empty() || key.empty())
        return usage();
    try {
        orlex::tools::FakeServices services(certificate, key, port);
        for (auto& account : accounts)
            services.addAccount(std::move(account));
        services.failSessions(failures);
        std::cout << "origin " << services.origin() << "\ngame-session " << services.gameSession()
                  << std::endl;
        std::promise<void>().get_future().wait();  // until killed
    } catch (const std::exception& failure) {
        std::cerr << "orlex-fake-services: " << failure.what() << "\n";
        return 1;
    }
}
