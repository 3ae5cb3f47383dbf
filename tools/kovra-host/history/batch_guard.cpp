#include "history/batch_guard.h"

#include "output/failure.h"
#include "output/format.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace kovra_host {
namespace {

std::optional<Bytes> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (!fs::exists(path)) {
            return std::nullopt;
        }
        throw Failure("cannot read " + path + ": " + std::strerror(errno));
    }
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Puts a file back as it was. In place keeps the inode, for a file that the
// driver holds open; otherwise a new file is renamed over the old one.
void RestoreFile(const std::string& path, const std::optional<Bytes>& bytes, bool inPlace) {
    std::error_code error;
    if (!bytes) {
        fs::remove(path, error);
        if (error) {
            throw Failure("cannot remove " + path + ": " + error.message());
        }
        return;
    }
    const std::string target = inPlace ? path : path + ".restoring";
    {
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes->data()),
                  static_cast<std::streamsize>(bytes->size()));
        out.flush();
        if (!out) {
            throw Failure("cannot write " + target + ": " + std::strerror(errno));
        }
    }
    if (!inPlace) {
        fs::rename(target, path, error);
        if (error) {
            throw Failure("cannot replace " + path + ": " + error.message());
        }
    }
}

template <typename Action> auto OrFailure(Action action) {
    try {
        return action();
    } catch (const StoreError& error) {
        throw Failure(error.what());
    }
}

} // namespace

BatchGuard::BatchGuard(HistoryStore& store, std::string positionsFile, int driverNumber,
                       std::string port)
    : store_(store), positionsFile_(std::move(positionsFile)), driverNumber_(driverNumber),
      port_(std::move(port)) {}

void BatchGuard::rewindInterrupted(Console& console) {
    const auto batches = OrFailure([&] { return store_.interrupted(positionsFile_); });
    if (batches.empty()) {
        return;
    }
    for (const auto& batch : batches) {
        if (batch.pid != CurrentProcessId() && HostProcessMayBeAlive(batch.pid)) {
            throw Failure("another kovra-host (process " + std::to_string(batch.pid) +
                          ") is collecting into " + positionsFile_ + "; wait for it to end");
        }
    }
    const InterruptedBatch& first = batches.front();
    RestoreFile(positionsFile_, first.positionsBefore, false);
    std::vector<std::int64_t> ids;
    for (const auto& batch : batches) {
        ids.push_back(batch.id);
    }
    OrFailure([&] { store_.markRewound(ids); });
    console.line("kovra-host: the " + first.command + " of " + first.gate + " begun " +
                 IsoLocalTime(first.startedAt) + " by process " + std::to_string(first.pid) +
                 " ended before its values were stored; " +
                 fs::path(positionsFile_).filename().string() +
                 " is put back as it was before it, so the driver passes them again");
}

BatchGuard::Batch BatchGuard::begin(const std::string& command, const std::string& gate,
                                    bool guarded) {
    Batch batch;
    batch.start.command = command;
    batch.start.gate = gate;
    batch.start.driverNumber = driverNumber_;
    batch.start.port = port_;
    batch.guarded = guarded;
    if (guarded) {
        batch.start.positionsFile = positionsFile_;
        batch.start.positionsBefore = ReadFileBytes(positionsFile_);
        batch.id = OrFailure([&] { return store_.beginGuardedBatch(batch.start); });
    }
    return batch;
}

// A driver that could not write its positions through to the last-event file
// names the file in its message. The file then lags behind the records passed
// on, while the driver's table in memory is ahead of it: stored now, the
// values would come a second time after a restart. So they are not stored,
// the file goes back as it was before the batch and the driver gets no
// further request (only a cold start would reload its table, and it would
// skip the records otherwise); the next run passes them again. A store that
// fails leaves the driver past records the history does not hold: the same.
std::optional<std::string> BatchGuard::finish(const Batch& batch, int status,
                                              const std::vector<StoredValue>& values,
                                              const std::vector<StoredAlert>& alerts,
                                              const std::optional<std::string>& unsaved,
                                              const std::function<void()>& halt) {
    const bool keep = !(batch.guarded && unsaved);
    std::optional<std::string> error;
    try {
        if (batch.guarded) {
            store_.finishBatch(batch.id, status, keep ? values : std::vector<StoredValue>{},
                               keep ? alerts : std::vector<StoredAlert>{});
        } else if (!values.empty() || !alerts.empty()) {
            store_.recordBatch(batch.start, status, values, alerts);
        }
    } catch (const StoreError& failure) {
        error = failure.what();
    }
    if (!keep) {
        error = error ? *error + "; " + *unsaved : *unsaved;
    }
    if (!batch.guarded || !error) {
        return error;
    }
    halt();
    try {
        RestoreFile(positionsFile_, batch.start.positionsBefore, true);
        *error += "; " + fs::path(positionsFile_).filename().string() +
                  " is put back so that they are collected again";
    } catch (const Failure& failure) {
        *error += std::string("; ") + failure.what();
    }
    return error;
}

} // namespace kovra_host
