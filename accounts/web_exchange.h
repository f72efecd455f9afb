#pragma once

#include <cstddef>

#include "net/http_client.h"

namespace orlex::accounts {

// No page or answer of the account service or the session endpoint is larger.
inline constexpr std::size_t MAX_BODY = 4u << 20;

// Sends one request of the account module through client and returns the answer, whole, its body held
// up to MAX_BODY bytes. Fails with common::IoFailure("Connexion impossible : {}") naming libcurl's
// reason (never the request's content) when the exchange fails or times out, with
// "Connexion impossible : réponse trop grande" for a longer body, with
// "Connexion impossible : magasin de certificats" (the store's failure as its cause) when the configured
// trust store is unreadable, and with common::Interrupted when the calling thread's stop token is
// triggered. Blocks; any thread.
net::BufferedResponse webExchange(net::HttpClient& client, const net::Request& request);

}  // namespace orlex::accounts
