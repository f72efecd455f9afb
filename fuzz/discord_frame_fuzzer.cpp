// Frames from the Discord client's IPC endpoint, read from a connection that hands the input over in
// pieces (the first byte sets their size), then each body checked as both replies the presence waits
// for. Frames read back encode to the very bytes they came from; every refusal is an IoFailure.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/failure.h"
#include "discord/ipc.h"
#include "fuzz/fuzz_support.h"

namespace orlex::fuzz {
namespace {

// The input as a stream that ends where the input ends; like a socket, it gives no more than asked.
class InputConnection : public discord::Connection {
public:
    InputConnection(std::string_view bytes, std::size_t piece) : rest_(bytes), piece_(piece) {}

    void write(std::string_view) override { broken("the reader wrote"); }
    std::size_t read(char* buffer, std::size_t size) override {
        const std::size_t n = std::min({size, piece_, rest_.size()});
        std::memcpy(buffer, rest_.data(), n);
        rest_.remove_prefix(n);
        return n;
    }
    std::size_t consumed(std::size_t total) const { return total - rest_.size(); }

private:
    std::string_view rest_;
    std::size_t piece_;
};

void check(std::string_view body, std::string_view expected) {
    try {
        discord::checkReply(body, expected);
    } catch (const common::IoFailure&) {
    }
}

}  // namespace
}  // namespace orlex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orlex;
    using namespace orlex::fuzz;
    if (size == 0)
        return 0;
    const std::string_view stream = textOf(data + 1, size - 1);
    InputConnection connection(stream, 1 + data[0] % 64);
    std::size_t before = 0;
    for (;;) {
        discord::Frame frame;
        try {
            frame = discord::readFrame(connection);
        } catch (const common::IoFailure&) {
            return 0;
        }
        const std::size_t after = connection.consumed(stream.size());
        expect(static_cast<std::int64_t>(frame.body.size()) <= discord::MAX_FRAME, "frame too large");
        expect(discord::encodeFrame(frame.opcode, frame.body) == stream.substr(before, after - before),
               "frame differs from its bytes");
        before = after;
        check(frame.body, "READY");
        check(frame.body, "SET_ACTIVITY");
    }
}
