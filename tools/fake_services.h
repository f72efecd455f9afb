#pragma once

#include <memory>
#include <set>
#include <string>

namespace orlex::tools {

// A local stand-in for the account service and the game session endpoint, on one HTTPS origin on
// 127.0.0.1, for the demo and the end-to-end tests:
//   GET  /halvoid/login.php, /halvoid/create.php  sign-in and sign-up pages with a hidden csrf_token
//                                                   (a redirect to /halvoid/account.php when signed in)
//   GET  /halvoid/account.php                      the signed-in page (with "Déconnexion")
//   POST /halvoid/api/login.php                    redirect to /halvoid/account.php with the session
//                                                   cookie "halvo_session", or back to the sign-in page
//   POST /halvoid/api/register.php                 the same after creating the account, or an error page
//   POST /mmo/session                              {"session": cookie header} → the grant of that
//                                                   session's account, 401 for an unknown session, 500
//                                                   while failures are asked for
//   POST /control/session-failures?times=N         asks for failures from outside (failSessions)
// Every member function is thread-safe.
class FakeServices {
public:
    struct Account {
        std::string name;
        std::string password;
        std::set<std::string> roles;
    };

    // Serves with the given PEM certificate chain and key on port (0: the system chooses).
    FakeServices(const std::string& certificateFile, const std::string& keyFile, int port = 0);
    FakeServices(const FakeServices&) = delete;
    FakeServices& operator=(const FakeServices&) = delete;
    ~FakeServices();

    // "https://127.0.0.1:<port>": the account service origin.
    std::string origin() const;
    // origin() + "/mmo/session".
    std::string gameSession() const;

    void addAccount(Account account);
    // The next `times` session exchanges answer 500 (times < 0: every one from now on; 0: none).
    void failSessions(int times);
    // Every session issued so far becomes unknown to the endpoint (401).
    void forgetSessions();
    // How many session exchanges have arrived.
    int sessionRequests() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace orlex::tools
