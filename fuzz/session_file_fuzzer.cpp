// The account client's stored session file: the client is built over it (which restores it). It never
// fails because of the file; what it restores are valid cookies of the service's domain, with values
// that go into a request head as they are, and what it then writes restores as the same cookies.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "accounts/halvo_id_client.h"
#include "common/failure.h"
#include "fuzz/fuzz_support.h"

namespace orlex::fuzz {
namespace {

namespace fs = std::filesystem;

bool validName(std::string_view name) {
    if (name.empty() || name.front() == '$')
        return false;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 32 || u >= 127 || std::string_view("()<>@,;:\\\"/[]?={}").find(c) != std::string_view::npos)
            return false;
    }
    return true;
}

// Lifetimes that cannot run out between the two restores.
bool lasting(const accounts::Cookie& c) {
    return c.maxAge < 0 || c.maxAge > 3600;
}

bool sameCookie(const accounts::Cookie& a, const accounts::Cookie& b) {
    return a.name == b.name && a.value == b.value && a.domain == b.domain && a.path == b.path &&
           a.maxAge == b.maxAge && a.secure == b.secure && a.httpOnly == b.httpOnly;
}

accounts::HalvoIdSettings settings() {
    return accounts::HalvoIdSettings{.origin = "https://halvo.example"};
}

}  // namespace
}  // namespace orlex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orlex;
    using namespace orlex::fuzz;
    static const fs::path file = scratchDirectory() / "session";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!out)
            broken("cannot write the session file");
    }
    std::vector<accounts::Cookie> restored;
    {
        const accounts::HalvoIdClient client(file, settings());
        restored = client.cookies();
        for (const accounts::Cookie& c : restored) {
            expect(validName(c.name), "cookie name");
            expect(std::none_of(
                       c.value.begin(), c.value.end(),
                       [](char v) { return static_cast<unsigned char>(v) < 32 || v == 127 || v == ';'; }),
                   "cookie value that would change the request head");
            expect(client.trustedDomain(c.domain), "cookie of another domain");
            expect(!c.path.empty(), "cookie path");
            expect(c.maxAge != 0, "cookie already gone");
        }
        if (restored.empty())
            return 0;  // damaged and deleted, or nothing worth keeping
        try {
            client.persist();
        } catch (const common::IoFailure&) {
            broken("the session file cannot be written again");
        }
    }
    const accounts::HalvoIdClient again(file, settings());
    const std::vector<accounts::Cookie> back = again.cookies();
    expect(back.size() <= restored.size(), "more cookies than were kept");
    std::size_t next = 0;
    for (const accounts::Cookie& c : restored) {
        if (!lasting(c))
            continue;
        while (next < back.size() && !sameCookie(back[next], c))
            ++next;
        expect(next < back.size(), "a kept cookie lost or changed by a write and a restore");
        ++next;
    }
    return 0;
}
