#include "platform/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>

namespace kovra_host {

const char* DriverFileName() {
    return "libkovra.so";
}

VpiMainFunction LoadDriver(const std::string& path, std::string& error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        error = reason != nullptr ? reason : "cannot be loaded";
        return nullptr;
    }
    void* symbol = dlsym(library, "VpiMain");
    if (symbol == nullptr) {
        error = path + " does not export VpiMain";
        dlclose(library);
        return nullptr;
    }
    return reinterpret_cast<VpiMainFunction>(symbol);
}

std::string ExecutableDirectory() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return {};
    }
    path[length] = '\0';
    std::string full(path);
    const auto slash = full.rfind('/');
    return slash == std::string::npos ? std::string{} : full.substr(0, slash);
}

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) == 1;
}

std::optional<bool> DeviceExists(const std::string& name) {
    struct stat status {};
    if (stat(name.c_str(), &status) == 0) {
        return true;
    }
    if (errno == ENOENT || errno == ENOTDIR) {
        return false;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> DeviceIdentity(const std::string& name) {
    struct stat status {};
    if (stat(name.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return (static_cast<std::uint64_t>(status.st_rdev) << 32) ^ status.st_ino;
}

DeviceRefusal ProbeDevice(const std::string& name) {
    const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
            return DeviceRefusal::Missing;
        case EACCES:
        case EPERM:
            return DeviceRefusal::PermissionDenied;
        case EBUSY:
            return DeviceRefusal::InUse;
        default:
            return DeviceRefusal::Other;
        }
    }
    // The driver takes the device with an advisory lock; the superuser passes
    // the terminal's exclusive mode, so the lock is what tells a holder.
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return locked ? DeviceRefusal::InUse : DeviceRefusal::Opens;
}

bool LocalTime(std::time_t when, std::tm& out) {
    return localtime_r(&when, &out) != nullptr;
}

bool UtcTime(std::time_t when, std::tm& out) {
    return gmtime_r(&when, &out) != nullptr;
}

int CurrentProcessId() {
    return static_cast<int>(getpid());
}

bool HostProcessMayBeAlive(int pid) {
    if (pid <= 0) {
        return false;
    }
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) {
        return false;
    }
    // Where the system names its processes, a process of another name is not
    // a kovra-host, whatever id it has been given.
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (comm && std::getline(comm, name)) {
        return name == "kovra-host";
    }
    return true;
}

LockState LockForLife(const std::string& path, int& holder, std::string& error) {
    // The descriptor stays open: the lock ends with the process, however it ends.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = std::strerror(errno);
        return LockState::Failed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int cause = errno;
        char text[32] = {};
        const ssize_t got = pread(fd, text, sizeof text - 1, 0);
        holder = got > 0 ? std::atoi(text) : 0;
        close(fd);
        if (cause == EWOULDBLOCK) {
            return LockState::Busy;
        }
        error = std::strerror(cause);
        return LockState::Failed;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 ||
        pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        error = std::strerror(errno);
        close(fd);
        return LockState::Failed;
    }
    return LockState::Held;
}

namespace {
volatile std::sig_atomic_t interrupted = 0;
// Written before the handler may read it, and read only in the handler.
char notice[256];
volatile std::sig_atomic_t noticeLength = 0;
extern "C" void NoteInterrupt(int signal) {
    if (interrupted != 0 && noticeLength != 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    interrupted = 1;
    if (noticeLength != 0) {
        (void)!write(STDERR_FILENO, notice, static_cast<std::size_t>(noticeLength));
    }
}
} // namespace

void SetInterruptNotice(const std::string& text) {
    noticeLength = 0;
    const std::size_t length = std::min(text.size(), sizeof notice - 1);
    std::memcpy(notice, text.data(), length);
    noticeLength = static_cast<std::sig_atomic_t>(length);
}

void CatchInterrupt() {
    struct sigaction action {};
    action.sa_handler = NoteInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() {
    return interrupted != 0;
}

void SleepMs(unsigned milliseconds) {
    timespec delay{static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR && !Interrupted()) {
    }
}

std::int64_t MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

static_assert(sizeof(std::mutex) <= 64);

Mutex::Mutex() {
    new (storage_) std::mutex();
}
Mutex::~Mutex() {
    reinterpret_cast<std::mutex*>(storage_)->~mutex();
}
void Mutex::lock() {
    reinterpret_cast<std::mutex*>(storage_)->lock();
}
void Mutex::unlock() {
    reinterpret_cast<std::mutex*>(storage_)->unlock();
}
} // namespace kovra_host
