#include <windows.h>

#include <string>
#include <utility>

#include "discord/local_ipc.h"

namespace orlex::discord {

// A manual-reset event that stays set once signal() has set it.
struct IpcWake::Handles {
    HANDLE event = nullptr;
};

namespace {

std::string systemError(DWORD error) {
    return "erreur Windows " + std::to_string(error);
}

// Owns one handle (a pipe or an event); an invalid one is never closed.
class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    OwnedHandle& operator=(OwnedHandle&&) = delete;
    ~OwnedHandle() {
        if (valid())
            ::CloseHandle(handle_);
    }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// A named pipe opened for overlapped I/O. Each read and write waits for its completion or for the
// wake, whichever comes first; the wake stays set, so a close() that lands just before ReadFile or
// WriteFile is still seen by the wait that follows.
class PipeConnection final : public Connection {
public:
    PipeConnection(OwnedHandle pipe, OwnedHandle completed, const IpcWake& wake)
        : pipe_(std::move(pipe)), completed_(std::move(completed)), wake_(wake) {}

    // Nothing is buffered on this side, so nothing is flushed: FlushFileBuffers on a pipe would wait,
    // beyond the wake's reach, until Discord has read everything.
    void write(std::string_view bytes) override {
        OVERLAPPED overlapped = pending();
        const BOOL started =
            ::WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped);
        DWORD written = 0;
        const DWORD error = finish(started, overlapped, written);
        if (error == ERROR_OPERATION_ABORTED)
            throw common::IoFailure("Discord IPC interrompu");
        if (error != 0 || written != bytes.size())
            throw common::IoFailure("Écriture Discord IPC impossible : " + systemError(error));
    }

    std::size_t read(char* buffer, std::size_t size) override {
        OVERLAPPED overlapped = pending();
        const BOOL started = ::ReadFile(pipe_.get(), buffer, static_cast<DWORD>(size), nullptr, &overlapped);
        DWORD got = 0;
        const DWORD error = finish(started, overlapped, got);
        if (error == ERROR_OPERATION_ABORTED)
            throw common::IoFailure("Discord IPC interrompu");
        if (error == ERROR_BROKEN_PIPE)
            return 0;  // Discord closed its end
        if (error != 0 && error != ERROR_MORE_DATA)
            throw common::IoFailure("Lecture Discord IPC impossible : " + systemError(error));
        return got;
    }

private:
    OVERLAPPED pending() const {
        OVERLAPPED overlapped{};
        overlapped.hEvent = completed_.get();
        return overlapped;
    }

    // Ends an operation started on the pipe (started: what ReadFile or WriteFile returned). A pending
    // one is waited for together with the wake; on the wake it is cancelled, and still waited for,
    // because it uses the buffer and overlapped until it has ended. Returns 0 or the failure's code
    // (ERROR_OPERATION_ABORTED when cancelled); moved receives the bytes transferred.
    DWORD finish(BOOL started, OVERLAPPED& overlapped, DWORD& moved) {
        if (!started) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_IO_PENDING)
                return error;
            const HANDLE waits[] = {completed_.get(), wake_.handles().event};
            if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
                ::CancelIoEx(pipe_.get(), &overlapped);
        }
        return ::GetOverlappedResult(pipe_.get(), &overlapped, &moved, TRUE) ? 0 : ::GetLastError();
    }

    OwnedHandle pipe_;
    OwnedHandle completed_;  // manual-reset, set by the system when an operation ends
    const IpcWake& wake_;
};

}  // namespace

IpcWake::IpcWake() : handles_(std::make_unique<Handles>()) {
    handles_->event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!handles_->event)
        throw common::IoFailure("Réveil Discord IPC impossible : " + systemError(::GetLastError()));
}

IpcWake::~IpcWake() {
    ::CloseHandle(handles_->event);
}

void IpcWake::signal() noexcept {
    signalled_ = true;
    ::SetEvent(handles_->event);
}

std::shared_ptr<Connection> openSocketIn(const std::vector<std::filesystem::path>&, const IpcWake&,
                                         std::chrono::milliseconds) {
    throw DiscordUnavailable({});
}

std::shared_ptr<Connection> openLocalIpc(const IpcWake& wake, std::chrono::milliseconds) {
    std::vector<std::exception_ptr> failures;
    for (int index = 0; index < 10; ++index) {
        if (wake.signalled())
            throw common::IoFailure("Discord IPC interrompu");
        const std::wstring name = L"\\\\.\\pipe\\discord-ipc-" + std::to_wstring(index);
        OwnedHandle pipe(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OVERLAPPED, nullptr));
        if (!pipe.valid()) {
            failures.push_back(std::make_exception_ptr(common::IoFailure("\\\\.\\pipe\\discord-ipc-" +
                                                                         std::to_string(index) + " : " +
                                                                         systemError(::GetLastError()))));
            continue;
        }
        OwnedHandle completed(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!completed.valid())
            throw common::IoFailure("Ouverture Discord IPC impossible : " + systemError(::GetLastError()));
        return std::make_shared<PipeConnection>(std::move(pipe), std::move(completed), wake);
    }
    throw DiscordUnavailable(std::move(failures));
}

std::int64_t processId() {
    return static_cast<std::int64_t>(::GetCurrentProcessId());
}

}  // namespace orlex::discord
