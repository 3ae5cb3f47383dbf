// Everything kovra-host needs from the operating system, behind one seam:
// platform_posix.cpp and platform_win32.cpp. Nothing else in the program asks
// which system it runs on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kovra {
struct VpiRequest;
}

namespace kovra_host {

#if defined(_WIN32)
using VpiMainFunction = int(__cdecl*)(kovra::VpiRequest*);
#else
using VpiMainFunction = int (*)(kovra::VpiRequest*);
#endif

// The driver library's file name on this system.
const char* DriverFileName();

// Loads a driver library and finds VpiMain in it. The library stays loaded
// for the life of the process: the driver's stopping flag and its open
// last-event file live in it. On failure returns null with the reason.
VpiMainFunction LoadDriver(const std::string& path, std::string& error);

// Directory holding the running executable, or empty when unknown.
std::string ExecutableDirectory();

bool IsTerminal(std::FILE* stream);
// Whether a serial device of that name is there; nothing when it cannot be told.
std::optional<bool> DeviceExists(const std::string& name);
// What tells one device from another under the same name (a new adapter
// plugged in where the old one was); nothing when it is not there or the
// system cannot tell.
std::optional<std::uint64_t> DeviceIdentity(const std::string& name);
// Why a device does not open for this program, tried after the driver failed
// to open it; Opens when it does.
enum class DeviceRefusal { Opens, Missing, PermissionDenied, InUse, Other };
DeviceRefusal ProbeDevice(const std::string& name);
bool LocalTime(std::time_t when, std::tm& out);
bool UtcTime(std::time_t when, std::tm& out);
int CurrentProcessId();
// False only when no kovra-host runs under that process id: the process is
// gone, or the id now belongs to another program (after a restart, say).
bool HostProcessMayBeAlive(int pid);
// Takes an exclusive lock on the file, made if need be, for the life of the
// process, and writes this process's id in it. Busy when another process
// holds it: `holder` is then that process's id, 0 when it cannot be read.
enum class LockState { Held, Busy, Failed };
LockState LockForLife(const std::string& path, int& holder, std::string& error);
// Sleeps, but returns early once the program is asked to stop.
void SleepMs(unsigned milliseconds);
// From now on an interrupt (Ctrl-C, or a termination request) only asks the
// program to stop; Interrupted() tells whether it has been asked.
void CatchInterrupt();
bool Interrupted();
// While a notice is set, the first interrupt prints it at once on standard
// error and a second one ends the program as an uncaught interrupt would;
// empty: back to asking only. Longer notices are cut to 255 bytes.
void SetInterruptNotice(const std::string& notice);
// Milliseconds on a monotonic clock.
std::int64_t MonotonicMs();

// A mutual exclusion lock. The Windows toolchain's standard library has no
// std::mutex, so the system's own lock stands behind this one.
class Mutex {
  public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock();
    void unlock();

  private:
    alignas(8) unsigned char storage_[64];
};

class MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    Mutex& mutex_;
};

} // namespace kovra_host
