#include "tests/support/test_channel.h"

#include "tests/support/files.h"
#include "update/digest.h"
#include "update/platform.h"
#include "update/publish.h"

namespace orlex::test {

namespace fs = std::filesystem;

namespace {

update::Ed25519Key makeKeys(const fs::path& dir, fs::path& privateKey) {
    privateKey = dir / "keys/release-private.der";
    update::keygen(privateKey, dir / "keys/release-public.der");
    return update::publicKey(readBytes(dir / "keys/release-public.der"));
}

}  // namespace

TestChannel::TestChannel()
    : channel_(dir_ / "channel"),
      publicKey_(makeKeys(dir_.path(), privateKey_)),
      ca_(std::make_unique<TestCa>(dir_ / "ca")) {
    fs::create_directories(channel_);
    server_ = std::make_unique<HttpsServer>(channel_, *ca_);
}

std::string TestChannel::publish(const Files& files, std::int64_t sequence, const std::string& product) {
    return publishInto(channel_, files, sequence, product);
}

std::string TestChannel::publishUnder(const std::string& under, const Files& files, std::int64_t sequence,
                                      const std::string& product) {
    return publishInto(channel_ / under, files, sequence, product);
}

std::string TestChannel::publishInto(const fs::path& channel, const Files& files, std::int64_t sequence,
                                     const std::string& product) {
    fs::create_directories(channel);
    const fs::path payload = dir_ / ("payload-" + std::to_string(++published_));
    fs::create_directories(payload);
    for (const auto& [name, content] : files) {
        const bool executable = name.starts_with("+x ");
        const fs::path file = writeFile(payload / (executable ? name.substr(3) : name), content);
        if (executable)
            fs::permissions(file, fs::perms::owner_exec, fs::perm_options::add);
    }
    const update::Published published =
        update::publish({payload, channel, privateKey_, product, "1.0." + std::to_string(sequence),
                         std::to_string(sequence), update::platform()});
    return published.id;
}

update::PatcherSettings TestChannel::engineSettings() const {
    update::PatcherSettings settings;
    settings.transport.trust = trust();
    settings.transport.pause = [](std::chrono::milliseconds) {};
    return settings;
}

net::TrustConfig TestChannel::trust() const {
    return {ca_->caPem(), std::nullopt};
}

std::unique_ptr<update::Patcher> TestChannel::engine(const fs::path& root, const std::string& product) {
    return std::make_unique<update::Patcher>(baseUrl(), publicKey_, root, product, engineSettings());
}

std::unique_ptr<update::Patcher> TestChannel::engineUnder(const std::string& under, const fs::path& root,
                                                          const std::string& product) {
    return std::make_unique<update::Patcher>(url(under), publicKey_, root, product, engineSettings());
}

std::string TestChannel::blobPath(const std::string& content) {
    return blobPath("", content);
}

std::string TestChannel::blobPath(const std::string& under, const std::string& content) {
    return "/" + under + "blobs/" +
           update::hash(std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()));
}

}  // namespace orlex::test
