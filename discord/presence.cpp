#include "discord/presence.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "common/text.h"
#include "common/thread_name.h"
#include "common/uuid.h"
#include "discord/local_ipc.h"
#include "discord/properties_text.h"
#include "discord/text.h"

namespace orlex::discord {
namespace {

bool validApplicationId(const std::string& id) {
    if (id.size() < 15 || id.size() > 24)
        return false;
    for (const char c : id) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

std::string findApplicationId(std::string_view configured, const ResourceReader& resources) {
    if (const std::string_view id = common::trimmed(configured); !id.empty())
        return std::string(id);
    if (const char* value = std::getenv(APPLICATION_ID_VARIABLE)) {
        const std::string_view id = common::trimmed(value);
        if (!id.empty())
            return std::string(id);
    }
    if (!resources)
        return "";
    try {
        const std::optional<std::string> text = resources("/discord.properties");
        if (!text)
            return "";
        const auto properties = readPropertiesText(*text);
        const auto found = properties.find("applicationId");
        return found == properties.end() ? "" : std::string(common::trimmed(found->second));
    } catch (...) {
        return "";
    }
}

}  // namespace

std::int64_t started() {
    static const std::int64_t STARTED = std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::system_clock::now().time_since_epoch())
                                            .count() /
                                        1000;
    return STARTED;
}

struct DiscordRichPresence::State {
    std::string applicationId;
    Connector connector;
    Logger logger;
    PresenceTiming timing;

    std::atomic<bool> closed{false};
    IpcWake ipcWake;   // signalled by close(): ends the worker's connect, reads and writes
    std::mutex mutex;  // the instance lock: desired, revision, lastNotice
    std::condition_variable posted;
    std::optional<Activity> desired;
    std::int64_t revision = 0;
    std::string lastNotice;

    std::mutex joining;  // lets every close() wait for the worker, not only the first
    std::thread worker;

    // With mutex held.
    void notice(const std::string& text) {
        if (text == lastNotice)
            return;
        lastNotice = text;
        try {
            logger(NOTICE_PREFIX + text);
        } catch (...) {
        }
    }
    void run();
    void exchange(Connection& connection);
};

// One connection: handshake, then publish every new revision until closed. Returns normally only when
// closed while idle; every failure propagates. Each notice is made in the same hold of the instance lock
// as the wait that follows it, so a close() after a notice finds the worker idle, and it sends the
// close frame.
void DiscordRichPresence::State::exchange(Connection& connection) {
    writeFrame(connection, HANDSHAKE, handshakeMessage(applicationId));
    checkReply(readFrame(connection).body, "READY");
    std::string done = "connecté à Discord";
    std::int64_t sent = -1;
    for (;;) {
        Activity activity;
        {
            std::unique_lock lock(mutex);
            notice(done);
            while (!closed && (!desired || revision == sent))
                posted.wait_for(lock, timing.wake);
            if (closed)
                return;
            activity = *desired;
            sent = revision;
        }
        writeFrame(connection, FRAME,
                   setActivityMessage(activity.details, activity.state, processId(), started(),
                                      common::randomUuid()));
        checkReply(readFrame(connection).body, "SET_ACTIVITY");
        done = "activité publiée : " + activity.details + " — " + activity.state;
    }
}

void DiscordRichPresence::State::run() {
    common::nameCurrentThread(THREAD_NAME);
    while (!closed) {
        std::shared_ptr<Connection> connection;
        try {
            connection = connector(ipcWake, timing.connect);
            if (!connection)
                throw DiscordUnavailable({});
            exchange(*connection);
            try {
                writeFrame(*connection, CLOSE, CLOSE_MESSAGE);
            } catch (...) {
            }
            connection.reset();
        } catch (...) {
            const std::string reason = reasonText(std::current_exception());
            connection.reset();
            std::unique_lock lock(mutex);
            if (!closed) {
                notice("connexion impossible : " + reason);
                posted.wait_for(lock, timing.retry, [this] { return closed.load(); });
            }
        }
    }
}

DiscordRichPresence DiscordRichPresence::create(std::string_view configuredId, Logger logger,
                                                ResourceReader resources, PresenceTiming timing) {
    return DiscordRichPresence(findApplicationId(configuredId, resources), openLocalIpc, std::move(logger),
                               timing);
}

DiscordRichPresence DiscordRichPresence::disabled() {
    return DiscordRichPresence("",
                               [](const IpcWake&, std::chrono::milliseconds) -> std::shared_ptr<Connection> {
                                   throw DiscordUnavailable({});
                               });
}

DiscordRichPresence::DiscordRichPresence(std::string applicationId, Connector connector, Logger logger,
                                         PresenceTiming timing)
    : applicationId_(std::move(applicationId)) {
    started();
    if (!validApplicationId(applicationId_))
        return;
    state_ = std::make_shared<State>();
    state_->applicationId = applicationId_;
    state_->connector = std::move(connector);
    state_->logger = logger ? std::move(logger) : [](const std::string&) {};
    state_->timing = timing;
    state_->worker = std::thread([state = state_.get()] { state->run(); });
}

DiscordRichPresence::DiscordRichPresence(DiscordRichPresence&&) noexcept = default;

DiscordRichPresence& DiscordRichPresence::operator=(DiscordRichPresence&& other) noexcept {
    if (this != &other) {
        DiscordRichPresence previous(std::move(*this));  // closed and joined on leaving
        applicationId_ = std::move(other.applicationId_);
        state_ = std::move(other.state_);
    }
    return *this;
}

DiscordRichPresence::~DiscordRichPresence() {
    close();
}

bool DiscordRichPresence::enabled() const {
    return state_ != nullptr;
}

const std::string& DiscordRichPresence::applicationId() const {
    return applicationId_;
}

void DiscordRichPresence::launcher() {
    set({"Dans le launcher", "Prépare son aventure"}, true);
}

void DiscordRichPresence::selectingServer(std::string_view server) {
    set({"Choisit un serveur", cleanText(server, 64, "Kerval")}, false);
}

void DiscordRichPresence::online(std::string_view character, std::string_view zone, std::string_view server) {
    set({"En ligne · " + cleanText(character, 48, "Voyageur"),
         cleanText(zone, 72, "Kerval") + " (" + cleanText(server, 48, "Kerval") + ")"},
        false);
}

void DiscordRichPresence::set(const Activity& activity, bool force) {
    if (!state_ || state_->closed)
        return;
    Activity cleaned{cleanText(activity.details, 96, "ORLEX Tessaline"),
                     cleanText(activity.state, 96, "Kerval")};
    std::lock_guard lock(state_->mutex);
    if (state_->closed)
        return;
    if (!force && state_->desired == cleaned)
        return;
    state_->desired = std::move(cleaned);
    ++state_->revision;
    state_->posted.notify_all();
}

void DiscordRichPresence::close() {
    if (!state_)
        return;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->closed.exchange(true)) {
            // An idle worker sends the close frame itself once woken; one waiting on Discord (to
            // connect, read or write) is cut off.
            state_->posted.notify_all();
            state_->ipcWake.signal();
        }
    }
    std::lock_guard lock(state_->joining);
    if (state_->worker.joinable())
        state_->worker.join();
}

}  // namespace orlex::discord
