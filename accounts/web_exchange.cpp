#include "accounts/web_exchange.h"

#include "common/failure.h"

namespace orlex::accounts {

net::BufferedResponse webExchange(net::HttpClient& client, const net::Request& request) {
    using Kind = net::ExchangeFailure::Kind;
    net::BufferedResponse response(MAX_BODY);
    try {
        client.send(request, response);
    } catch (const net::ExchangeFailure& failure) {
        if (failure.kind() == Kind::Trust) {
            try {
                std::rethrow_exception(failure.cause());
            } catch (...) {
                std::throw_with_nested(common::IoFailure("Connexion impossible : magasin de certificats"));
            }
        }
        if (failure.kind() == Kind::Body)
            throw common::IoFailure("Connexion impossible : réponse trop grande");
        throw common::IoFailure("Connexion impossible : " + std::string(failure.what()));
    }
    return response;
}

}  // namespace orlex::accounts
