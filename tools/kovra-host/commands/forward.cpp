// forward: the history into the plant's central PostgreSQL database, and
// collect's --forward.
#include "commands/forward.h"

#include "commands/common.h"
#include "history/forward.h"
#include "platform/platform.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace fs = std::filesystem;

namespace kovra_host {
namespace {

constexpr unsigned kFirstPauseMs = 1000;
constexpr unsigned kLongestPauseMs = 30000;

std::string Target(const CommandLine& line, const char* option) {
    const std::string target = *line.value(option);
    if (const auto wrong = CentralStore::CheckTarget(target)) {
        throw UsageError("--" + std::string(option) + ": " + *wrong);
    }
    return target;
}

// The history opened for writing: forwarding records its mark there, and an
// older schema is migrated first.
std::unique_ptr<HistoryStore> OpenForForwarding(const std::string& path, Console& console) {
    try {
        auto store = HistoryStore::Open(path, true);
        if (const int version = store->openedVersion();
            version != 0 && version < HistoryStore::kSchemaVersion) {
            console.line("kovra-host: history database " + path + " was of schema version " +
                         std::to_string(version) + "; migrated to version " +
                         std::to_string(HistoryStore::kSchemaVersion) + " before forwarding");
        }
        return store;
    } catch (const StoreError& error) {
        throw Failure(error.what());
    }
}

// Following, the server may go away and come back, and a collection in
// another process may hold the history for a moment: both are waited out
// with a growing pause. A server that refuses for good ends the run.
void Follow(Forwarder& forwarder, unsigned everyMs, Console& console) {
    CatchInterrupt();
    unsigned pauseMs = kFirstPauseMs;
    bool failing = false;
    while (!Interrupted()) {
        std::string failure;
        try {
            const ForwardReport report = forwarder.sendPending();
            if (failing) {
                console.line("kovra-host: forwarding to " + forwarder.target() + " again");
                failing = false;
                pauseMs = kFirstPauseMs;
            }
            if (report.batches != 0 || report.resentFrom) {
                console.line(DescribeForward(report, forwarder.target()));
            }
        } catch (const CentralError& error) {
            if (error.lasting()) {
                throw Failure(error.what());
            }
            failure = error.what();
        } catch (const StoreError& error) {
            failure = error.what();
        }
        if (failure.empty()) {
            SleepMs(everyMs);
            continue;
        }
        console.line("kovra-host: " + failure + "; trying again in " +
                     std::to_string(pauseMs / 1000) + " s");
        failing = true;
        SleepMs(pauseMs);
        pauseMs = std::min(pauseMs * 2, kLongestPauseMs);
    }
}

} // namespace

int RunForward(const CommandLine& line, Console& console) {
    if (!line.arguments.empty()) {
        throw UsageError("forward takes no arguments");
    }
    if (!line.value("to")) {
        throw UsageError("forward needs --to URI (postgresql://HOST/DATABASE)");
    }
    const std::string target = Target(line, "to");
    const auto everyMs = static_cast<unsigned>(
        std::llround(line.number("every", 0.01, 86400.0).value_or(1.0) * 1000.0));
    // The central store names the history by its full path.
    auto store = OpenForForwarding(fs::absolute(ExistingHistoryFile(line)).string(), console);
    Forwarder forwarder(*store, target);
    if (line.has("follow")) {
        Follow(forwarder, everyMs, console);
        return 0;
    }
    try {
        console.line(DescribeForward(forwarder.sendPending(), target));
    } catch (const CentralError& error) {
        throw Failure(error.what());
    } catch (const StoreError& error) {
        throw Failure(error.what());
    }
    return 0;
}

struct ForwardAfterCollect::Link {
    Forwarder forwarder;
    Console& console;
};

ForwardAfterCollect::ForwardAfterCollect(const CommandLine& line, Workspace& workspace,
                                         Console& console) {
    if (!line.value("forward")) {
        return;
    }
    const std::string target = Target(line, "forward");
    if (workspace.history() == nullptr) {
        throw UsageError("--forward sends what the history stored: it cannot go with --no-history");
    }
    link_.reset(new Link{Forwarder(*workspace.history(), target), console});
    try {
        link_->forwarder.sendPending();
    } catch (const CentralError& error) {
        throw Failure(error.what());
    }
}

ForwardAfterCollect::~ForwardAfterCollect() = default;

bool ForwardAfterCollect::send() {
    if (!link_) {
        return true;
    }
    try {
        link_->console.line(
            DescribeForward(link_->forwarder.sendPending(), link_->forwarder.target()));
        return true;
    } catch (const std::runtime_error& error) {
        link_->console.line("kovra-host: not forwarded: " + std::string(error.what()) +
                            "; it stays in the history for the next forward");
        return false;
    }
}

} // namespace kovra_host
