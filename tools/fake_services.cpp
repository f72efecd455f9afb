#include "tools/fake_services.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "common/uuid.h"

namespace orlex::tools {
namespace {

constexpr const char* SESSION_COOKIE = "halvo_session";

std::string lowerCase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The value of one cookie in a Cookie header, "" when absent.
std::string cookieValue(const std::string& header, const std::string& name) {
    std::size_t at = 0;
    while (at < header.size()) {
        std::size_t end = header.find(';', at);
        if (end == std::string::npos)
            end = header.size();
        std::string pair = header.substr(at, end - at);
        pair.erase(0, pair.find_first_not_of(' '));
        if (pair.starts_with(name + "="))
            return pair.substr(name.size() + 1);
        at = end + 1;
    }
    return {};
}

std::string escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string document(const std::string& title, const std::string& body) {
    return "<!doctype html>\n<html lang=\"fr\"><head><meta charset=\"utf-8\"><title>" + title +
           " · HALVO ID</title></head>\n<body>\n" + body + "\n</body></html>\n";
}

}  // namespace

struct FakeServices::State {
    httplib::SSLServer server;
    int port = 0;
    std::thread thread;

    mutable std::mutex mutex;
    std::vector<Account> accounts;
    std::map<std::string, std::string> sessions;  // session id → account name
    std::set<std::string> tokens;                 // anti-forgery tokens handed out, each good once
    int failures = 0;
    int sessionRequests = 0;

    State(const std::string& certificate, const std::string& key)
        : server(certificate.c_str(), key.c_str()) {}

    const Account* account(const std::string& name) const {
        const auto found = std::find_if(accounts.begin(), accounts.end(), [&](const Account& held) {
            return lowerCase(held.name) == lowerCase(name);
        });
        return found == accounts.end() ? nullptr : &*found;
    }

    // The signed-in account of a request, "" when none.
    std::string signedIn(const httplib::Request& request) const {
        const std::lock_guard lock(mutex);
        const auto found = sessions.find(cookieValue(request.get_header_value("Cookie"), SESSION_COOKIE));
        return found == sessions.end() ? std::string() : found->second;
    }

    std::string newToken() {
        const std::lock_guard lock(mutex);
        return *tokens.insert(common::randomUuid()).first;
    }

    bool takeToken(const std::string& token) {
        const std::lock_guard lock(mutex);
        return tokens.erase(token) == 1;
    }

    void formPage(httplib::Response& response, const std::string& title, const std::string& fields,
                  const std::string& action, const std::string& error = {}) {
        std::string body = "<h1>" + title + "</h1>\n";
        if (!error.empty())
            body += "<div class=\"alert alert-error\">" + escape(error) + "</div>\n";
        body += "<form method=\"post\" action=\"" + action +
                "\">\n<input type=\"hidden\" name=\"csrf_token\" value=\"" + newToken() + "\">\n" + fields +
                "<button type=\"submit\">Valider</button>\n</form>";
        response.set_content(document(title, body), "text/html; charset=utf-8");
    }

    void signInPage(httplib::Response& response, const std::string& error = {}) {
        formPage(response, "Connexion",
                 "<input name=\"identifier\">\n<input type=\"password\" name=\"password\">\n",
                 "/halvoid/api/login.php", error);
    }

    void signUpPage(httplib::Response& response, const std::string& error = {}) {
        formPage(response, "Créer un compte",
                 "<input name=\"username\">\n<input name=\"display_name\">\n<input name=\"email\">\n"
                 "<input type=\"password\" name=\"password\">\n<input type=\"password\" "
                 "name=\"password_confirm\">\n"
                 "<input type=\"checkbox\" name=\"terms\" value=\"1\">\n",
                 "/halvoid/api/register.php", error);
    }

    void startSession(httplib::Response& response, const std::string& name) {
        const std::string id = common::randomUuid();
        {
            const std::lock_guard lock(mutex);
            sessions[id] = name;
        }
        response.set_header("Set-Cookie", std::string(SESSION_COOKIE) + "=" + id +
                                              "; Path=/; Max-Age=2592000; Secure; HttpOnly");
        response.set_redirect("/halvoid/account.php");
    }

    void routes() {
        server.Get("/halvoid/login.php",
                   [this](const httplib::Request& request, httplib::Response& response) {
                       if (!signedIn(request).empty())
                           response.set_redirect("/halvoid/account.php");
                       else
                           signInPage(response);
                   });
        server.Get("/halvoid/create.php",
                   [this](const httplib::Request& request, httplib::Response& response) {
                       if (!signedIn(request).empty())
                           response.set_redirect("/halvoid/account.php");
                       else
                           signUpPage(response);
                   });
        server.Get(
            "/halvoid/account.php", [this](const httplib::Request& request, httplib::Response& response) {
                const std::string name = signedIn(request);
                if (name.empty()) {
                    response.set_redirect("/halvoid/login.php");
                    return;
                }
                response.set_content(
                    document("Mon compte", "<p>Bonjour " + escape(name) +
                                               "</p>\n<a href=\"/halvoid/logout.php\">Déconnexion</a>"),
                    "text/html; charset=utf-8");
            });
        server.Post("/halvoid/api/login.php",
                    [this](const httplib::Request& request, httplib::Response& response) {
                        if (!takeToken(request.get_param_value("csrf_token"))) {
                            signInPage(response, "Formulaire expiré, recharge la page.");
                            return;
                        }
                        std::string name;
                        {
                            const std::lock_guard lock(mutex);
                            const Account* found = account(request.get_param_value("identifier"));
                            if (found && found->password == request.get_param_value("password"))
                                name = found->name;
                        }
                        if (name.empty())
                            response.set_redirect("/halvoid/login.php?erreur=1");
                        else
                            startSession(response, name);
                    });
        server.Post("/halvoid/api/register.php",
                    [this](const httplib::Request& request, httplib::Response& response) {
                        if (!takeToken(request.get_param_value("csrf_token"))) {
                            signUpPage(response, "Formulaire expiré, recharge la page.");
                            return;
                        }
                        const std::string name = request.get_param_value("username");
                        if (request.get_param_value("terms") != "1") {
                            signUpPage(response, "Accepte les conditions d’utilisation.");
                            return;
                        }
                        if (request.get_param_value("email").find('@') == std::string::npos) {
                            signUpPage(response, "Adresse e-mail invalide.");
                            return;
                        }
                        bool taken = false;
                        {
                            const std::lock_guard lock(mutex);
                            taken = account(name) != nullptr;
                            if (!taken)
                                accounts.push_back({name, request.get_param_value("password"), {}});
                        }
                        if (taken)
                            signUpPage(response, "Ce pseudo est déjà utilisé.");
                        else
                            startSession(response, name);
                    });
        server.Post("/control/session-failures",
                    [this](const httplib::Request& request, httplib::Response& response) {
                        const std::lock_guard lock(mutex);
                        failures = std::atoi(request.get_param_value("times").c_str());
                        response.status = 204;
                    });
        server.Post("/mmo/session", [this](const httplib::Request& request, httplib::Response& response) {
            const std::lock_guard lock(mutex);
            ++sessionRequests;
            if (failures != 0) {
                if (failures > 0)
                    --failures;
                response.status = 500;
                response.set_content("{\"error\":\"unavailable\"}", "application/json");
                return;
            }
            const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
            const std::string header =
                body.is_object() && body.contains("session") && body["session"].is_string()
                    ? body["session"].get<std::string>()
                    : std::string();
            const auto session = sessions.find(cookieValue(header, SESSION_COOKIE));
            const Account* found = session == sessions.end() ? nullptr : account(session->second);
            if (!found) {
                response.status = 401;
                response.set_content("{\"error\":\"unknown_session\"}", "application/json");
                return;
            }
            nlohmann::json grant = {{"token", common::randomUuid()},
                                    {"name", found->name},
                                    {"realtime", "wss://127.0.0.1:" + std::to_string(port) + "/realtime"},
                                    {"roles", nlohmann::json::array()}};
            for (const std::string& role : found->roles)
                grant["roles"].push_back(role);
            response.set_content(grant.dump(), "application/json");
        });
    }
};

FakeServices::FakeServices(const std::string& certificateFile, const std::string& keyFile, int port)
    : state_(std::make_unique<State>(certificateFile, keyFile)) {
    if (!state_->server.is_valid())
        throw std::runtime_error("certificate or key unusable");
    state_->routes();
    if (port == 0) {
        state_->port = state_->server.bind_to_any_port("127.0.0.1");
    } else if (state_->server.bind_to_port("127.0.0.1", port)) {
        state_->port = port;
    } else {
        state_->port = -1;
    }
    if (state_->port <= 0)
        throw std::runtime_error("port unavailable");
    state_->thread = std::thread([this] { state_->server.listen_after_bind(); });
    // stop() only reaches a server that is already listening; the accept loop starts at once.
    while (!state_->server.is_running())
        std::this_thread::yield();
}

FakeServices::~FakeServices() {
    state_->server.stop();
    state_->thread.join();
}

std::string FakeServices::origin() const {
    return "https://127.0.0.1:" + std::to_string(state_->port);
}

std::string FakeServices::gameSession() const {
    return origin() + "/mmo/session";
}

void FakeServices::addAccount(Account account) {
    const std::lock_guard lock(state_->mutex);
    state_->accounts.push_back(std::move(account));
}

void FakeServices::failSessions(int times) {
    const std::lock_guard lock(state_->mutex);
    state_->failures = times;
}

void FakeServices::forgetSessions() {
    const std::lock_guard lock(state_->mutex);
    state_->sessions.clear();
}

int FakeServices::sessionRequests() const {
    const std::lock_guard lock(state_->mutex);
    return state_->sessionRequests;
}

}  // namespace orlex::tools
