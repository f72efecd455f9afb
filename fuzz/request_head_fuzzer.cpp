// The editor session broker's request head, fed as it arrives from a connection. The first byte sets
// the size of the pieces the rest arrives in, and whether the stream then ends: a head read in pieces
// gives what it gives read at once, and what it keeps stays within the broker's limits.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "accounts/editor_session_broker.h"
#include "fuzz/fuzz_support.h"

namespace orlex::fuzz {
namespace {

using accounts::EditorSessionBroker;
using accounts::RequestHead;

void checkKept(const RequestHead& head) {
    // A line holds at most LINE_LIMIT bytes; each may have become the three bytes of U+FFFD.
    expect(head.requestLine().size() <= 3 * EditorSessionBroker::LINE_LIMIT, "request line length");
    expect(head.requestLine().find_first_of("\r\n") == std::string::npos, "line end in the request line");
    if (const std::optional<std::string>& authorization = head.authorization()) {
        expect(authorization->size() <= 3 * EditorSessionBroker::LINE_LIMIT, "authorization length");
        expect(authorization->find_first_of("\r\n") == std::string::npos, "line end in a header");
        expect(authorization->empty() || (static_cast<unsigned char>(authorization->front()) > ' ' &&
                                          static_cast<unsigned char>(authorization->back()) > ' '),
               "authorization not trimmed");
    }
}

}  // namespace
}  // namespace orlex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orlex::fuzz;
    if (size == 0)
        return 0;
    const std::size_t piece = 1 + data[0] / 2;
    const bool ends = data[0] % 2 == 1;
    const std::span<const std::uint8_t> bytes(data + 1, size - 1);

    RequestHead whole;
    whole.feed(bytes);
    RequestHead pieces;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        pieces.feed(bytes.subspan(at, std::min(piece, bytes.size() - at)));
        const RequestHead::State state = pieces.state();
        pieces.feed({});
        expect(pieces.state() == state, "state changed by no bytes");
    }
    if (ends) {
        whole.end();
        pieces.end();
        expect(whole.state() != RequestHead::State::Reading, "still reading after the end");
    }
    expect(whole.state() == pieces.state() && whole.requestLine() == pieces.requestLine() &&
               whole.authorization() == pieces.authorization(),
           "a head read in pieces differs");
    checkKept(whole);
    // A head that is whole or broken takes nothing more.
    if (whole.state() != RequestHead::State::Reading) {
        const RequestHead::State state = whole.state();
        const std::string line = whole.requestLine();
        whole.feed(bytes);
        whole.end();
        expect(whole.state() == state && whole.requestLine() == line, "a finished head changed");
    }
    return 0;
}
