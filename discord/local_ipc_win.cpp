#include <windows.h>

#include <atomic>
#include <string>

#include "discord/local_ipc.h"

namespace orlex::discord {
namespace {

std::string systemError(DWORD error) {
    return "erreur Windows " + std::to_string(error);
}

// A named pipe opened as a file. interrupt() cancels the worker's pending synchronous I/O on the
// handle; the handle itself is closed only by the destructor, on the worker.
class PipeConnection final : public Connection {
public:
    explicit PipeConnection(HANDLE pipe) : pipe_(pipe) {}
    PipeConnection(const PipeConnection&) = delete;
    PipeConnection& operator=(const PipeConnection&) = delete;
    ~PipeConnection() override { ::CloseHandle(pipe_); }

    void write(std::string_view bytes) override {
        if (interrupted_)
            throw common::IoFailure("Discord IPC interrompu");
        DWORD written = 0;
        if (!::WriteFile(pipe_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size())
            throw common::IoFailure("Écriture Discord IPC impossible : " + systemError(::GetLastError()));
        ::FlushFileBuffers(pipe_);
    }

    std::size_t read(char* buffer, std::size_t size) override {
        if (interrupted_)
            return 0;
        DWORD got = 0;
        if (!::ReadFile(pipe_, buffer, static_cast<DWORD>(size), &got, nullptr)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_BROKEN_PIPE || error == ERROR_OPERATION_ABORTED || interrupted_)
                return 0;
            if (error != ERROR_MORE_DATA)
                throw common::IoFailure("Lecture Discord IPC impossible : " + systemError(error));
        }
        return got;
    }

    void interrupt() noexcept override {
        interrupted_ = true;
        ::CancelIoEx(pipe_, nullptr);
    }

private:
    HANDLE pipe_;
    std::atomic<bool> interrupted_{false};
};

}  // namespace

std::shared_ptr<Connection> openSocketIn(const std::vector<std::filesystem::path>&) {
    throw DiscordUnavailable({});
}

std::shared_ptr<Connection> openLocalIpc() {
    std::vector<std::exception_ptr> failures;
    for (int index = 0; index < 10; ++index) {
        const std::wstring name = L"\\\\.\\pipe\\discord-ipc-" + std::to_wstring(index);
        const HANDLE pipe =
            ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE)
            return std::make_shared<PipeConnection>(pipe);
        failures.push_back(std::make_exception_ptr(common::IoFailure(
            "\\\\.\\pipe\\discord-ipc-" + std::to_string(index) + " : " + systemError(::GetLastError()))));
    }
    throw DiscordUnavailable(std::move(failures));
}

std::int64_t processId() {
    return static_cast<std::int64_t>(::GetCurrentProcessId());
}

}  // namespace orlex::discord
