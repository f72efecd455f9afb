#pragma once

#include <string>

namespace orlex::update {

// Refuses a channel base that is not plain HTTPS with a host ("Distribution HTTPS requise": another
// scheme, user information, a query or a fragment) or whose text does not end with "/" ("URL de canal
// invalide"). Both are common::SecurityFailure.
void checkChannelBase(const std::string& base);

// Standard URI resolution of a relative reference against a base ("../launcher/" against
// "https://h/client/" gives "https://h/launcher/"). Fails with common::FormatFailure.
std::string resolveUrl(const std::string& base, const std::string& relative);

}  // namespace orlex::update
