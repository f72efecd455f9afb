#include "update/json_codec.h"

#include <limits>
#include <nlohmann/json.hpp>

#include "common/failure.h"
#include "common/json_writer.h"

namespace orlex::update {
namespace {

using common::FormatFailure;
using nlohmann::json;

void writeEntry(common::JsonWriter& w, const Entry& e) {
    w.beginObject();
    if (e.path)
        w.key("path").string(*e.path);
    if (e.sha256)
        w.key("sha256").string(*e.sha256);
    if (e.url)
        w.key("url").string(*e.url);
    w.key("size").number(e.size);
    w.key("executable").boolean(e.executable);
    w.endObject();
}

json parseObject(std::string_view text) {
    // The parser takes a NUL byte for the end of its input and would ignore whatever follows it; a NUL
    // has no place anywhere in a JSON text (inside strings it must be escaped).
    if (text.find('\0') != std::string_view::npos)
        throw FormatFailure("JSON invalide : caractère nul");
    json doc;
    try {
        doc = json::parse(text.begin(), text.end());
    } catch (const json::exception& e) {
        throw FormatFailure(std::string("JSON invalide : ") + e.what());
    }
    if (doc.is_null())
        throw FormatFailure("JSON invalide : document vide");
    if (!doc.is_object())
        throw FormatFailure("JSON invalide : objet attendu");
    return doc;
}

// A member that is absent or null; a wrong type is a failure, never a silent default.
const json* member(const json& object, const char* name) {
    const auto it = object.find(name);
    if (it == object.end() || it->is_null())
        return nullptr;
    return &*it;
}

[[noreturn]] void wrongType(const char* name) {
    throw FormatFailure(std::string("JSON invalide : type inattendu pour ") + name);
}

template <typename Integer>
void readInteger(const json& object, const char* name, Integer& out) {
    const json* v = member(object, name);
    if (!v)
        return;
    if (v->is_number_unsigned()) {
        const auto value = v->get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(std::numeric_limits<Integer>::max()))
            wrongType(name);
        out = static_cast<Integer>(value);
    } else if (v->is_number_integer()) {
        const auto value = v->get<std::int64_t>();
        if (value < std::numeric_limits<Integer>::min() || value > std::numeric_limits<Integer>::max()) {
            wrongType(name);
        }
        out = static_cast<Integer>(value);
    } else {
        wrongType(name);
    }
}

void readBool(const json& object, const char* name, bool& out) {
    const json* v = member(object, name);
    if (!v)
        return;
    if (!v->is_boolean())
        wrongType(name);
    out = v->get<bool>();
}

void readString(const json& object, const char* name, std::optional<std::string>& out) {
    const json* v = member(object, name);
    if (!v)
        return;
    if (!v->is_string())
        wrongType(name);
    out = v->get<std::string>();
}

Entry readEntry(const json& object) {
    if (!object.is_object())
        wrongType("files");
    Entry e;
    readString(object, "path", e.path);
    readString(object, "sha256", e.sha256);
    readString(object, "url", e.url);
    readInteger(object, "size", e.size);
    readBool(object, "executable", e.executable);
    return e;
}

}  // namespace

std::string JsonCodec::write(const Manifest& m) const {
    common::JsonWriter w;
    w.beginObject();
    w.key("schema").number(m.schema);
    w.key("minLauncher").number(m.minLauncher);
    w.key("restartRequired").boolean(m.restartRequired);
    w.key("sequence").number(m.sequence);
    w.key("expires").number(m.expires);
    if (m.version)
        w.key("version").string(*m.version);
    if (m.platform)
        w.key("platform").string(*m.platform);
    if (m.product)
        w.key("product").string(*m.product);
    if (m.files) {
        w.key("files").beginArray();
        for (const Entry& e : *m.files)
            writeEntry(w, e);
        w.endArray();
    }
    w.endObject();
    return w.text();
}

std::string JsonCodec::write(const Envelope& envelope) const {
    common::JsonWriter w;
    w.beginObject();
    if (envelope.manifest)
        w.key("manifest").string(*envelope.manifest);
    if (envelope.signature)
        w.key("signature").string(*envelope.signature);
    w.endObject();
    return w.text();
}

Manifest JsonCodec::readManifest(std::string_view text) const {
    const json doc = parseObject(text);
    Manifest m;
    readInteger(doc, "schema", m.schema);
    readInteger(doc, "minLauncher", m.minLauncher);
    readBool(doc, "restartRequired", m.restartRequired);
    readInteger(doc, "sequence", m.sequence);
    readInteger(doc, "expires", m.expires);
    readString(doc, "version", m.version);
    readString(doc, "platform", m.platform);
    readString(doc, "product", m.product);
    if (const json* files = member(doc, "files")) {
        if (!files->is_array())
            wrongType("files");
        std::vector<Entry> entries;
        entries.reserve(files->size());
        for (const json& e : *files)
            entries.push_back(e.is_null() ? Entry{} : readEntry(e));
        m.files = std::move(entries);
    }
    return m;
}

Envelope JsonCodec::readEnvelope(std::string_view text) const {
    const json doc = parseObject(text);
    Envelope envelope;
    readString(doc, "manifest", envelope.manifest);
    readString(doc, "signature", envelope.signature);
    return envelope;
}

}  // namespace orlex::update
