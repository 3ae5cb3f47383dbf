#include "history/forward.h"

#include "output/format.h"

#include <unistd.h>

#include <algorithm>
#include <climits>

namespace kovra_host {
namespace {

// Values and alerts a chunk holds at most (whole batches): large enough for
// few round trips, small enough that a lost connection costs little.
constexpr std::size_t kChunkRecords = 5000;

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "unknown";
}

} // namespace

Forwarder::Forwarder(HistoryStore& history, std::string target)
    : history_(history), target_(std::move(target)) {}

Forwarder::~Forwarder() = default;

ForwardReport Forwarder::sendPending() {
    ForwardReport report;
    try {
        if (!central_) {
            central_ = CentralStore::Connect(target_);
            source_ = history_.sourceId();
            const std::int64_t held =
                central_->registerSource({source_, HostName(), history_.path()});
            const std::int64_t recorded = history_.forwardedThrough();
            mark_ = std::min(held, recorded);
            if (held < recorded) {
                report.resentFrom = held + 1;
            }
        }
        for (;;) {
            const ForwardChunk chunk = history_.forwardChunk(mark_, kChunkRecords);
            if (chunk.through == mark_) {
                break;
            }
            const CentralCounts added = central_->send(source_, chunk);
            history_.recordForwarded(chunk.through);
            mark_ = chunk.through;
            report.batches += chunk.batches.size();
            for (const auto& batch : chunk.batches) {
                report.records += batch.values.size() + batch.alerts.size();
            }
            report.added.batches += added.batches;
            report.added.events += added.events;
            report.added.alerts += added.alerts;
        }
    } catch (const CentralError&) {
        central_.reset();
        throw;
    }
    report.through = mark_;
    return report;
}

std::string DescribeForward(const ForwardReport& report, const std::string& target) {
    std::string text = "forward: ";
    if (report.resentFrom) {
        text += "the server held this history only up to batch " +
                std::to_string(*report.resentFrom - 1) + ", so it is sent again from there; ";
    }
    if (report.batches == 0) {
        return text + "nothing new for " + target + " (sent through batch " +
               std::to_string(report.through) + ")";
    }
    text += std::to_string(report.batches) + (report.batches == 1 ? " batch" : " batches") +
            " sent to " + target + ": " +
            Plural(static_cast<unsigned>(report.added.events), "event") + ", " +
            Plural(static_cast<unsigned>(report.added.alerts), "alert");
    const std::size_t added = report.added.events + report.added.alerts;
    if (report.records > added) {
        text += " (" + Plural(static_cast<unsigned>(report.records - added), "record") +
                " the server held already)";
    }
    return text + ", through batch " + std::to_string(report.through);
}

} // namespace kovra_host
