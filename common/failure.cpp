#include "common/failure.h"

#include <algorithm>

namespace orlex::common {

std::vector<std::exception_ptr> failureChain(std::exception_ptr failure, std::size_t limit) {
    std::vector<std::exception_ptr> links;
    std::vector<const void*> seen;
    while (failure && links.size() < limit) {
        std::exception_ptr cause;
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            if (std::find(seen.begin(), seen.end(), &e) != seen.end())
                break;
            seen.push_back(&e);
            if (const auto* nested = dynamic_cast<const std::nested_exception*>(&e))
                cause = nested->nested_ptr();
        } catch (...) {
        }
        links.push_back(failure);
        failure = cause;
    }
    return links;
}

std::vector<std::string> failureMessages(std::exception_ptr failure, std::size_t limit) {
    std::vector<std::string> messages;
    for (const std::exception_ptr& link : failureChain(std::move(failure), limit)) {
        try {
            std::rethrow_exception(link);
        } catch (const std::exception& e) {
            messages.emplace_back(e.what());
        } catch (...) {
            messages.emplace_back("Échec inconnu");
        }
    }
    return messages;
}

}  // namespace orlex::common
