#include "platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace kovra_host {

const char* DriverFileName() {
    return "KOVRA.dll";
}

VpiMainFunction LoadDriver(const std::string& path, std::string& error) {
    HMODULE library = LoadLibraryA(path.c_str());
    if (library == nullptr) {
        error = "LoadLibrary failed with error " + std::to_string(GetLastError());
        return nullptr;
    }
    FARPROC symbol = GetProcAddress(library, "VpiMain");
    if (symbol == nullptr) {
        error = path + " does not export VpiMain";
        FreeLibrary(library);
        return nullptr;
    }
    return reinterpret_cast<VpiMainFunction>(reinterpret_cast<void*>(symbol));
}

std::string ExecutableDirectory() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    std::string full(path, length);
    const auto slash = full.find_last_of("\\/");
    return slash == std::string::npos ? std::string{} : full.substr(0, slash);
}

bool IsTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

bool LocalTime(std::time_t when, std::tm& out) {
    return localtime_s(&out, &when) == 0;
}

bool UtcTime(std::time_t when, std::tm& out) {
    return gmtime_s(&out, &when) == 0;
}

int CurrentProcessId() {
    return static_cast<int>(GetCurrentProcessId());
}

bool ProcessMayBeAlive(int pid) {
    if (pid <= 0) {
        return false;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

void SleepMs(unsigned milliseconds) {
    Sleep(milliseconds);
}

std::int64_t MonotonicMs() {
    return static_cast<std::int64_t>(GetTickCount64());
}

namespace {

// Windows has no custom stdio streams: the lines go through a pipe to a reader
// thread. sync() writes a marker line and waits for the reader to reach it.
class PipeTap final : public LineTap {
  public:
    explicit PipeTap(Callback callback) : callback_(std::move(callback)) {
        int fds[2];
        if (_pipe(fds, 65536, _O_BINARY) != 0) {
            return;
        }
        readFd_ = fds[0];
        stream_ = _fdopen(fds[1], "wb");
        if (stream_ == nullptr) {
            _close(fds[1]);
            return;
        }
        reader_ = std::thread([this] { readLines(); });
    }
    ~PipeTap() override {
        if (stream_ != nullptr) {
            std::fclose(stream_);
        }
        if (reader_.joinable()) {
            reader_.join();
        }
        if (readFd_ >= 0) {
            _close(readFd_);
        }
    }
    std::FILE* stream() override { return stream_; }
    void sync() override {
        if (stream_ == nullptr) {
            return;
        }
        std::unique_lock lock(mutex_);
        const unsigned marker = ++markersSent_;
        lock.unlock();
        std::fprintf(stream_, "%s%u\n", kMarker, marker);
        std::fflush(stream_);
        lock.lock();
        reached_.wait(lock, [&] { return markersSeen_ >= marker || finished_; });
    }

  private:
    static constexpr const char* kMarker = "\x01sync ";

    void readLines() {
        std::string pending;
        char buffer[4096];
        int count;
        while ((count = _read(readFd_, buffer, sizeof buffer)) > 0) {
            pending.append(buffer, static_cast<std::size_t>(count));
            std::size_t newline;
            while ((newline = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, newline);
                pending.erase(0, newline + 1);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                if (line.rfind(kMarker, 0) == 0) {
                    std::lock_guard lock(mutex_);
                    markersSeen_ =
                        static_cast<unsigned>(std::stoul(line.substr(std::strlen(kMarker))));
                    reached_.notify_all();
                } else {
                    callback_(line);
                }
            }
        }
        std::lock_guard lock(mutex_);
        finished_ = true;
        reached_.notify_all();
    }

    Callback callback_;
    std::FILE* stream_ = nullptr;
    int readFd_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable reached_;
    unsigned markersSent_ = 0;
    unsigned markersSeen_ = 0;
    bool finished_ = false;
};

} // namespace

std::unique_ptr<LineTap> LineTap::Open(Callback callback) {
    auto tap = std::make_unique<PipeTap>(std::move(callback));
    if (tap->stream() == nullptr) {
        return nullptr;
    }
    return tap;
}

} // namespace kovra_host
