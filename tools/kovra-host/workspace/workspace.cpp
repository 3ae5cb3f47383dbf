#include "workspace/workspace.h"

#include "contract/driver_files.h"
#include "halvopro/halvopro.h"
#include "output/failure.h"
#include "platform/platform.h"
#include "workspace/gates_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace kovra_host {
namespace {

constexpr const char* kDefaultHistory = "kovra-history.db";
constexpr const char* kDefaultGates = "kovra-gates.txt";

// Whether a file can be made here: the driver creates its last-event file.
bool Writable(const fs::path& directory) {
    const fs::path probe = directory / (".kovra-probe-" + std::to_string(CurrentProcessId()));
    {
        std::ofstream out(probe);
        if (!out) {
            return false;
        }
    }
    std::error_code ignored;
    fs::remove(probe, ignored);
    return true;
}

} // namespace

std::string Absolute(const std::string& path) {
    return path.empty() ? path : fs::absolute(path).string();
}

std::string DefaultStateDirectory() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && *state != '\0') {
        return (fs::path(state) / "kovra").string();
    }
    const char* home = std::getenv("HOME");
    return (fs::path(home != nullptr ? home : ".") / ".local" / "state" / "kovra").string();
}

std::string PositionsFileName(int driverNumber) {
    char name[kovra::kLastEventFileNameSize];
    kovra::LastEventFileName(driverNumber, name);
    return name;
}

std::string DefaultHistoryFile(const std::string& directory) {
    return (fs::path(directory) / kDefaultHistory).string();
}

Workspace::Workspace(WorkspaceSettings settings, Console& console)
    : settings_(std::move(settings)), console_(console) {}

// The state folder stands in for a read-only current directory, so the
// driver's init file and the gates file are taken from where the user is.
std::string WorkingDirectory(const WorkspaceSettings& settings) {
    if (!settings.directory.empty() || (settings.stateDir.empty() && Writable("."))) {
        return settings.directory;
    }
    return settings.stateDir.empty() ? DefaultStateDirectory() : settings.stateDir;
}

void Workspace::enter() {
    settings_.gatesFile = Absolute(settings_.gatesFile);
    settings_.historyFile = Absolute(settings_.historyFile);
    const fs::path from = fs::current_path();
    if (settings_.directory.empty()) {
        const std::string state = WorkingDirectory(settings_);
        if (!state.empty()) {
            std::error_code error;
            fs::create_directories(state, error);
            if (error || !Writable(state)) {
                throw Failure("state folder " + state + ": " +
                              (error ? error.message() : std::strerror(EACCES)));
            }
            settings_.directory = state;
            bringUserFiles(from, state);
        }
    }
    if (!settings_.directory.empty()) {
        std::error_code error;
        fs::current_path(settings_.directory, error);
        if (error) {
            throw Failure("working directory " + settings_.directory + ": " + error.message());
        }
    }
    positionsFile_ = fs::absolute(PositionsFileName(settings_.driverNumber)).string();
    lockDriverFiles();
}

// Two drivers on one last-event file write their entries at the same
// offsets, so the working folder's driver files are this process's alone
// from before the cold start to the end.
void Workspace::lockDriverFiles() {
    const std::string lock = positionsFile_ + ".lock";
    int holder = 0;
    std::string error;
    switch (LockForLife(lock, holder, error)) {
    case LockState::Held:
        return;
    case LockState::Busy:
        throw Failure("the driver files in " + fs::current_path().string() +
                      " are in use by kovra-host process " +
                      (holder > 0 ? std::to_string(holder) : std::string("(unknown)")) + " (" +
                      fs::path(lock).filename().string() + "); wait for it or give another --dir");
    case LockState::Failed:
        throw Failure("lock file " + lock + ": " + error);
    }
}

// The user's init files replace the state folder's copies before the cold
// start, and the user's gates file is read where it stands.
void Workspace::bringUserFiles(const fs::path& from, const fs::path& state) {
    std::error_code same;
    if (fs::equivalent(from, state, same)) {
        return;
    }
    for (int which = 0; which < kovra::kInitFileNameCount; ++which) {
        char name[kovra::kLastEventFileNameSize];
        kovra::InitFileName(which, kovra::kInitFileBase, settings_.driverNumber, name, sizeof name);
        if (!fs::exists(from / name)) {
            continue;
        }
        // Copied by content: the state folder's copy keeps its owner and mode.
        std::ifstream in(from / name, std::ios::binary);
        std::ofstream out(state / name, std::ios::binary | std::ios::trunc);
        if (!in || !out || (in.peek() != EOF && !(out << in.rdbuf())) || !out.flush()) {
            throw Failure("init file " + std::string(name) +
                          " cannot be copied into the state folder " + state.string() + ": " +
                          std::strerror(errno));
        }
    }
    if (settings_.gatesFile.empty() && fs::exists(from / kDefaultGates)) {
        settings_.gatesFile = (from / kDefaultGates).string();
    }
}

void Workspace::openHistory() {
    // A build without SQLite works on without a history; collect says that
    // its events are not stored.
    if (!settings_.keepHistory || !HistoryAvailable()) {
        return;
    }
    const std::string path = settings_.historyFile.empty() ? fs::absolute(kDefaultHistory).string()
                                                           : settings_.historyFile;
    try {
        store_ = HistoryStore::Open(path, true);
    } catch (const StoreError& error) {
        throw Failure(error.what());
    }
    guard_ = std::make_unique<BatchGuard>(*store_, positionsFile_, settings_.driverNumber,
                                          settings_.port);
    guard_->rewindInterrupted(console_);
}

void Workspace::defineGates(const std::vector<std::string>& addresses) {
    std::string gatesFile = settings_.gatesFile;
    if (gatesFile.empty() && fs::exists(kDefaultGates)) {
        gatesFile = kDefaultGates;
    }
    if (!gatesFile.empty()) {
        try {
            for (const auto& gate : ReadGatesFile(gatesFile)) {
                halvo::DefineGate(gate);
            }
        } catch (const GatesFileError& error) {
            throw Failure(error.what());
        }
    }
    for (const auto& address : addresses) {
        if (!halvo::FindGate(address)) {
            halvo::DefineGate(DefaultGate(address));
        }
    }
}

void Workspace::checkDriverFiles() {
    checkInitFile();
    checkLastEventFile();
}

// The driver takes the first init file that opens and passes silently over
// one that does not, so a file that is there but unreadable is stopped here.
void Workspace::checkInitFile() {
    for (int which = 0; which < kovra::kInitFileNameCount; ++which) {
        char name[kovra::kLastEventFileNameSize];
        kovra::InitFileName(which, kovra::kInitFileBase, settings_.driverNumber, name, sizeof name);
        std::error_code error;
        const auto status = fs::status(name, error);
        if (!fs::exists(status)) {
            continue;
        }
        if (!fs::is_regular_file(status)) {
            throw Failure("init file " + std::string(name) + " is not a readable file");
        }
        std::ifstream in(name);
        char probe;
        if (!in || (!in.get(probe) && !in.eof())) {
            throw Failure("init file " + std::string(name) +
                          " cannot be read: " + std::strerror(errno));
        }
        return;
    }
}

// The driver refuses a last-event file shorter than its stamp area and would
// re-create one it cannot open for update, losing its positions.
void Workspace::checkLastEventFile() {
    std::error_code error;
    const auto status = fs::status(positionsFile_, error);
    if (!fs::exists(status)) {
        return;
    }
    const std::string name = fs::path(positionsFile_).filename().string();
    if (!fs::is_regular_file(status)) {
        throw Failure("last-event file " + name + " is not a regular file");
    }
    const auto size = fs::file_size(positionsFile_, error);
    if (error) {
        throw Failure("last-event file " + name + ": " + error.message());
    }
    if (size < kovra::kLastQueryAreaSize) {
        throw Failure("last-event file " + name + " is corrupt: " + std::to_string(size) +
                      " bytes, shorter than its " + std::to_string(kovra::kLastQueryAreaSize) +
                      "-byte stamp area (move it aside to start "
                      "over: the PLCs' journals are then collected from their oldest record)");
    }
    {
        std::fstream update(positionsFile_, std::ios::in | std::ios::out | std::ios::binary);
        if (!update) {
            throw Failure("last-event file " + name +
                          " cannot be opened for update: " + std::strerror(errno));
        }
    }
    const auto partial = (size - kovra::kLastQueryAreaSize) % kovra::kLastEventEntrySize;
    if (partial != 0) {
        console_.line("kovra-host: warning: last-event file " + name + " ends in " +
                      std::to_string(partial) +
                      " bytes of a partial entry, which the driver ignores");
    }
}

} // namespace kovra_host
