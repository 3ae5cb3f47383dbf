// Builds without SQLite (the Windows cross build has none) keep no history.
#include "history/history_store.h"

namespace kovra_host {

std::unique_ptr<HistoryStore> HistoryStore::Open(const std::string& path, bool) {
    throw StoreError("history database " + path + ": this build of kovra-host has no SQLite");
}

bool HistoryAvailable() {
    return false;
}

} // namespace kovra_host
