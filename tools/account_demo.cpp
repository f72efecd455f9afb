// Signs a player in to the account service and exchanges the session for a game grant, with the
// launcher's own account client, for the demo. The session is kept as a launcher keeps it when "Rester
// connecté" is ticked (the session file, and the remembered player in the launcher's preferences), so a
// launcher window started afterwards on the same install root restores it.
//   orlex-account-demo [-Dname=value...] SESSION_FILE IDENTIFIER      (the password on standard input)
// Prints the service's answer and the grant's name, roles and realtime address; never the token.
#include <iostream>
#include <string>
#include <vector>

#include "accounts/game_session.h"
#include "accounts/halvo_id_client.h"
#include "common/preferences.h"
#include "launcher/account_session.h"
#include "launcher/archive.h"
#include "launcher/entry.h"

int main(int argc, char** argv) {
    using namespace orlex;
    try {
        const std::vector<std::string> args = launcher::takeProperties({argv + 1, argv + argc});
        if (args.size() != 2) {
            std::cerr << "usage: orlex-account-demo [-Dname=value...] SESSION_FILE IDENTIFIER < password\n";
            return 2;
        }
        // The launcher's own configuration of the account service, the session endpoint and trust.
        const launcher::LauncherConfig config = launcher::configure({});
        std::string password;
        std::getline(std::cin, password);
        accounts::HalvoIdClient client(args[0], config.account);
        const accounts::Result result = client.login(args[1], password);
        std::fill(password.begin(), password.end(), '\0');
        std::cout << (result.ok ? "SIGNED_IN " : "REFUSED ") << result.message << '\n';
        if (!result.ok)
            return 1;
        client.persist();
        const accounts::GameGrant grant =
            accounts::exchangeSession(config.gameSession, client.sessionCookieHeader());
        std::string roles;
        for (const std::string& role : grant.roles)
            roles += (roles.empty() ? "" : ",") + role;
        std::cout << "GRANT name=" << grant.name << " roles=" << (roles.empty() ? "-" : roles)
                  << " realtime=" << grant.realtime << '\n';
        common::Preferences preferences(launcher::PREFS);
        preferences.putBoolean(launcher::AccountSession::REMEMBER_KEY, true);
        preferences.put(launcher::AccountSession::IDENTITY_KEY, grant.name);
        preferences.flush();
        return 0;
    } catch (const std::exception& failure) {
        std::cerr << failure.what() << '\n';
        return 1;
    }
}
