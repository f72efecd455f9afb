#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "common/failure.h"

namespace orlex::discord {

// One duplex byte connection to the Discord desktop client's local IPC endpoint. Only the presence
// worker uses it; a read or write that has to wait ends with a failure once the presence is closed
// (local_ipc.h, IpcWake). Destroying the connection closes it.
class Connection {
public:
    virtual ~Connection() = default;

    // Writes all of bytes in one call, or fails with IoFailure.
    virtual void write(std::string_view bytes) = 0;
    // Reads up to size bytes into buffer; 0 at the end of the stream. Fails with IoFailure.
    virtual std::size_t read(char* buffer, std::size_t size) = 0;
};

// No endpoint could be opened. Carries every individual failure, in the order the endpoints were tried.
class DiscordUnavailable : public common::IoFailure {
public:
    explicit DiscordUnavailable(std::vector<std::exception_ptr> attempts)
        : common::IoFailure("Discord local indisponible"), attempts_(std::move(attempts)) {}
    const std::vector<std::exception_ptr>& attempts() const { return attempts_; }

private:
    std::vector<std::exception_ptr> attempts_;
};

// Frame opcodes; a frame is the opcode and the body length (both 32-bit little-endian), then the body.
inline constexpr std::uint32_t HANDSHAKE = 0;
inline constexpr std::uint32_t FRAME = 1;
inline constexpr std::uint32_t CLOSE = 2;
// A received body longer than this (or announced with a negative length) is refused unread.
inline constexpr std::int64_t MAX_FRAME = 1'048'576;

struct Frame {
    std::uint32_t opcode = 0;  // never looked at by the presence
    std::string body;          // UTF-8 JSON
};

// The 8-byte header followed by body.
std::string encodeFrame(std::uint32_t opcode, std::string_view body);
// Writes header and body in one call.
void writeFrame(Connection& connection, std::uint32_t opcode, std::string_view body);
// Reads one frame. Fails with IoFailure "Discord IPC fermé" (end inside the header), "Réponse Discord IPC
// invalide" (length below 0 or above MAX_FRAME; nothing of the body is read), "Réponse Discord IPC
// incomplète" (end inside the body), or the connection's own failure.
Frame readFrame(Connection& connection);

// The handshake body: {"v":1,"client_id":"<applicationId>"}.
std::string handshakeMessage(std::string_view applicationId);

// The SET_ACTIVITY body, keys in this order:
// {"cmd":"SET_ACTIVITY","args":{"pid":P,"activity":{"details":D,"state":S,"timestamps":{"start":T},
// "instance":false}},"nonce":N}
std::string setActivityMessage(std::string_view details, std::string_view state, std::int64_t pid,
                               std::int64_t started, std::string_view nonce);

// The close body.
inline constexpr std::string_view CLOSE_MESSAGE = "{}";

// The deepest nesting of arrays and objects a reply may have; Discord's own replies stay below 8.
inline constexpr int MAX_REPLY_DEPTH = 32;

// Checks a reply body as the answer to expected ("READY" after the handshake, "SET_ACTIVITY" after a
// set-activity message). Fails with IoFailure: "réponse Discord illisible" (not a JSON object, or nested
// deeper than MAX_REPLY_DEPTH),
// "Discord refuse la commande [{code}] {message}" (evt "ERROR"), "Discord n'a pas confirmé la connexion"
// (READY expected, other evt), "Discord n'a pas confirmé l'activité" (SET_ACTIVITY expected, other cmd).
void checkReply(std::string_view body, std::string_view expected);

// The reason shown for a failure: the first carried individual failure of a DiscordUnavailable, else the
// failure itself; its demangled type name, then " · " and its message cleaned (limit 140, fallback
// "erreur locale") when the message is not blank.
std::string reasonText(std::exception_ptr failure);

}  // namespace orlex::discord
