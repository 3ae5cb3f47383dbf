#include "platform/platform.h"

#include <windows.h>

#include <io.h>

#include <cstdlib>
#include <cstring>

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

std::optional<bool> DeviceExists(const std::string& name) {
    // COM1 and its kind are DOS device names, not files.
    std::string device = name;
    if (device.rfind("\\\\.\\", 0) == 0) {
        device = device.substr(4);
    }
    if (device.find_first_of("\\/:") == std::string::npos) {
        char target[1024];
        if (QueryDosDeviceA(device.c_str(), target, sizeof target) != 0) {
            return true;
        }
        // Not every system lists its ports there (Wine does not).
        return std::nullopt;
    }
    if (GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? std::optional<bool>(false)
               : std::nullopt;
}

std::optional<std::uint64_t> DeviceIdentity(const std::string&) {
    return std::nullopt;
}

DeviceRefusal ProbeDevice(const std::string& name) {
    const std::string path = name.rfind("\\\\.\\", 0) == 0 ? name : "\\\\.\\" + name;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return DeviceRefusal::Opens;
    }
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return DeviceRefusal::Missing;
    case ERROR_ACCESS_DENIED: // what Windows answers for a port another program holds
    case ERROR_SHARING_VIOLATION:
        return DeviceRefusal::InUse;
    default:
        return DeviceRefusal::Other;
    }
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

bool HostProcessMayBeAlive(int pid) {
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

LockState LockForLife(const std::string& path, int& holder, std::string& error) {
    // The handle stays open: the lock ends with the process, however it ends.
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "error " + std::to_string(GetLastError());
        return LockState::Failed;
    }
    // The locked byte lies past the process id, which others can then read.
    OVERLAPPED at{};
    at.OffsetHigh = 1;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD cause = GetLastError();
        char text[32] = {};
        DWORD got = 0;
        holder =
            ReadFile(file, text, sizeof text - 1, &got, nullptr) && got > 0 ? std::atoi(text) : 0;
        CloseHandle(file);
        if (cause == ERROR_LOCK_VIOLATION) {
            return LockState::Busy;
        }
        error = "error " + std::to_string(cause);
        return LockState::Failed;
    }
    const std::string pid = std::to_string(GetCurrentProcessId()) + "\n";
    DWORD written = 0;
    if (!SetEndOfFile(file) ||
        !WriteFile(file, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr) ||
        written != pid.size()) {
        error = "error " + std::to_string(GetLastError());
        CloseHandle(file);
        return LockState::Failed;
    }
    return LockState::Held;
}

namespace {
volatile LONG interrupted = 0;
char notice[256];
volatile LONG noticeLength = 0;
BOOL WINAPI NoteInterrupt(DWORD) {
    if (InterlockedExchange(&interrupted, 1) != 0 && noticeLength != 0) {
        return FALSE; // the next handler, the system's, ends the program
    }
    if (noticeLength != 0) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), notice, static_cast<DWORD>(noticeLength),
                  &written, nullptr);
    }
    return TRUE;
}
} // namespace

void SetInterruptNotice(const std::string& text) {
    InterlockedExchange(&noticeLength, 0);
    const std::size_t length = text.size() < sizeof notice ? text.size() : sizeof notice - 1;
    std::memcpy(notice, text.data(), length);
    InterlockedExchange(&noticeLength, static_cast<LONG>(length));
}

void CatchInterrupt() {
    SetConsoleCtrlHandler(NoteInterrupt, TRUE);
}

bool Interrupted() {
    return interrupted != 0;
}

void SleepMs(unsigned milliseconds) {
    // In slices, so that an interrupt is noticed while waiting.
    constexpr unsigned kSlice = 100;
    while (milliseconds > 0 && !Interrupted()) {
        const unsigned slice = milliseconds < kSlice ? milliseconds : kSlice;
        Sleep(slice);
        milliseconds -= slice;
    }
}

std::int64_t MonotonicMs() {
    return static_cast<std::int64_t>(GetTickCount64());
}

static_assert(sizeof(CRITICAL_SECTION) <= 64);

Mutex::Mutex() {
    InitializeCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
}
Mutex::~Mutex() {
    DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
}
void Mutex::lock() {
    EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
}
void Mutex::unlock() {
    LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
}
} // namespace kovra_host
