#include "discord/ipc.h"

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <typeinfo>

#include "common/json_writer.h"
#include "common/text.h"
#include "common/type_name.h"
#include "discord/text.h"

namespace orlex::discord {
namespace {

void putLittleEndian(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out += static_cast<char>((value >> shift) & 0xFF);
}

std::uint32_t getLittleEndian(const char* bytes) {
    std::uint32_t value = 0;
    for (int k = 3; k >= 0; --k)
        value = (value << 8) | static_cast<unsigned char>(bytes[k]);
    return value;
}

// Reads until size bytes arrived or the stream ended; returns how many arrived.
std::size_t readFully(Connection& connection, char* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const std::size_t got = connection.read(buffer + done, size - done);
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

// The text of a member: a string as itself, null or absent as nullopt, anything else as its JSON form.
std::optional<std::string> memberText(const nlohmann::json& object, const char* name) {
    const auto found = object.find(name);
    if (found == object.end() || found->is_null())
        return std::nullopt;
    if (found->is_string())
        return found->get<std::string>();
    return found->dump();
}

}  // namespace

std::string encodeFrame(std::uint32_t opcode, std::string_view body) {
    std::string frame;
    frame.reserve(8 + body.size());
    putLittleEndian(frame, opcode);
    putLittleEndian(frame, static_cast<std::uint32_t>(body.size()));
    frame.append(body);
    return frame;
}

void writeFrame(Connection& connection, std::uint32_t opcode, std::string_view body) {
    connection.write(encodeFrame(opcode, body));
}

Frame readFrame(Connection& connection) {
    char header[8];
    if (readFully(connection, header, sizeof header) < sizeof header)
        throw common::IoFailure("Discord IPC fermé");
    const auto length = static_cast<std::int32_t>(getLittleEndian(header + 4));
    if (length < 0 || length > MAX_FRAME)
        throw common::IoFailure("Réponse Discord IPC invalide");
    Frame frame;
    frame.opcode = getLittleEndian(header);
    frame.body.resize(static_cast<std::size_t>(length));
    if (readFully(connection, frame.body.data(), frame.body.size()) < frame.body.size())
        throw common::IoFailure("Réponse Discord IPC incomplète");
    return frame;
}

std::string handshakeMessage(std::string_view applicationId) {
    common::JsonWriter json;
    json.beginObject().key("v").number(1).key("client_id").string(applicationId).endObject();
    return json.text();
}

std::string setActivityMessage(std::string_view details, std::string_view state, std::int64_t pid,
                               std::int64_t started, std::string_view nonce) {
    common::JsonWriter json;
    json.beginObject().key("cmd").string("SET_ACTIVITY");
    json.key("args").beginObject().key("pid").number(pid);
    json.key("activity").beginObject().key("details").string(details).key("state").string(state);
    json.key("timestamps").beginObject().key("start").number(started).endObject();
    json.key("instance").boolean(false).endObject();
    json.endObject().key("nonce").string(nonce).endObject();
    return json.text();
}

void checkReply(std::string_view body, std::string_view expected) {
    nlohmann::json reply;
    try {
        // Copying a value and writing it out recurse once per level: a reply nested deeper than any real
        // one is refused as soon as the reader reaches that depth, before any such document exists
        // (level counts the enclosing arrays and objects, the reply itself being the first).
        reply = nlohmann::json::parse(body, [](int level, nlohmann::json::parse_event_t, nlohmann::json&) {
            if (level + 1 > MAX_REPLY_DEPTH)
                throw common::IoFailure("réponse Discord illisible");
            return true;
        });
    } catch (const nlohmann::json::exception&) {
        throw common::IoFailure("réponse Discord illisible");
    }
    if (!reply.is_object())
        throw common::IoFailure("réponse Discord illisible");
    const std::string evt = memberText(reply, "evt").value_or("");
    if (evt == "ERROR") {
        const auto data = reply.find("data");
        const nlohmann::json details =
            data != reply.end() && data->is_object() ? *data : nlohmann::json::object();
        const std::string code = memberText(details, "code").value_or("inconnu");
        const std::string message = memberText(details, "message").value_or("commande refusée");
        throw common::IoFailure("Discord refuse la commande [" + cleanText(code, 24, "inconnu") + "] " +
                                cleanText(message, 120, "commande refusée"));
    }
    if (expected == "READY" && evt != "READY")
        throw common::IoFailure("Discord n'a pas confirmé la connexion");
    if (expected == "SET_ACTIVITY" && memberText(reply, "cmd").value_or("") != "SET_ACTIVITY")
        throw common::IoFailure("Discord n'a pas confirmé l'activité");
}

std::string reasonText(std::exception_ptr failure) {
    try {
        try {
            std::rethrow_exception(failure);
        } catch (const DiscordUnavailable& unavailable) {
            if (unavailable.attempts().empty())
                throw;
            std::rethrow_exception(unavailable.attempts().front());
        }
    } catch (const std::exception& error) {
        std::string reason = common::typeName(typeid(error));
        const std::string_view message = error.what();
        if (!common::trimmed(message).empty())
            reason += " · " + cleanText(message, 140, "erreur locale");
        return reason;
    } catch (...) {
        return "erreur inconnue";
    }
}

}  // namespace orlex::discord
