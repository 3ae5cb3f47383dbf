// Where a run works: the working directory, the driver's files in it (its
// init file and its last-event file), the gates file, and the history with
// its batch guard.
#pragma once

#include "history/batch_guard.h"
#include "history/history_store.h"
#include "output/console.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kovra_host {

struct WorkspaceSettings {
    int driverNumber = 1;
    std::string port;        // the line's, kept with each batch of the history
    std::string directory;   // empty: stay, unless the current directory is read-only
    std::string stateDir;    // where to work then; empty: the user's state folder
    std::string gatesFile;   // empty: kovra-gates.txt when present
    std::string historyFile; // empty: kovra-history.db in the directory
    bool keepHistory = true;
};

class Workspace {
  public:
    Workspace(WorkspaceSettings settings, Console& console);

    // Resolves the paths given, then makes the working directory current:
    // the one given, else the current one when it can be written, else the
    // state folder, created if need be.
    void enter();
    // Opens the history for writing and rewinds an interrupted collection.
    void openHistory();
    // Defines the gates of the gates file and, with their implied types, the
    // gates named here that the file does not hold.
    void defineGates(const std::vector<std::string>& addresses);
    // Stops what the driver would pass over silently or repair at a loss: an
    // init file that is there but unreadable, a last-event file it cannot use.
    void checkDriverFiles();

    const std::string& positionsFile() const { return positionsFile_; }
    HistoryStore* history() { return store_.get(); }
    BatchGuard* guard() { return guard_.get(); }

  private:
    void lockDriverFiles();
    void bringUserFiles(const std::filesystem::path& from, const std::filesystem::path& state);
    void checkInitFile();
    void checkLastEventFile();

    WorkspaceSettings settings_;
    Console& console_;
    std::string positionsFile_; // absolute
    std::unique_ptr<HistoryStore> store_;
    std::unique_ptr<BatchGuard> guard_;
};

// The working directory that the settings choose from where the run stands:
// the one given, none (stay) when the current one can be written, else the
// state folder.
std::string WorkingDirectory(const WorkspaceSettings& settings);

// A path made absolute, so that it holds after the working directory changes.
std::string Absolute(const std::string& path);

// The state folder: $XDG_STATE_HOME/kovra, else ~/.local/state/kovra.
std::string DefaultStateDirectory();

// The last-event file of a driver number, as the driver names it.
std::string PositionsFileName(int driverNumber);

// The history database of a working directory when none is named.
std::string DefaultHistoryFile(const std::string& directory);

} // namespace kovra_host
