#include "commands/common.h"

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace kovra_host {

int RunHistory(const CommandLine& line, Console&) {
    if (!HistoryAvailable()) {
        throw Failure("this build of kovra-host keeps no history: it was built without SQLite");
    }
    HistoryQuery query;
    for (const auto& gate : line.values("gate")) {
        try {
            query.gates.push_back(CanonicalGateAddress(gate));
        } catch (const GatesFileError& error) {
            throw UsageError(std::string("--gate: ") + error.what());
        }
    }
    for (const char* bound : {"from", "to"}) {
        if (const auto text = line.value(bound)) {
            const auto time = ParseTime(*text, std::string(bound) == "to");
            if (!time) {
                throw UsageError(std::string("--") + bound + " takes a time such as 2025-05-28, " +
                                 "2025-05-28T13:45:30, 2025-05-28T13:45:30+02:00 or @SECONDS, " +
                                 "not '" + *text + "'");
            }
            (std::string(bound) == "from" ? query.from : query.to) = *time;
        }
    }
    if (const auto limit = line.integer("limit", 1, 1000000000L)) {
        query.limit = static_cast<int>(*limit);
    }
    if (const auto last = line.integer("last", 1, 1000000000L)) {
        query.last = static_cast<int>(*last);
    }
    const OutputFormat format = FormatOf(line);
    std::string path = line.value("history").value_or("");
    if (path.empty()) {
        // The history lies where the collection worked, the state folder too.
        const std::string directory = WorkingDirectory(SettingsFrom(line).workspace);
        path = DefaultHistoryFile(directory.empty() ? "." : directory);
    }
    if (!fs::exists(path)) {
        throw Failure("history database " + path + " does not exist");
    }
    std::unique_ptr<HistoryStore> store;
    try {
        store = HistoryStore::Open(path, false);
        if (line.has("alerts")) {
            Listing listing(format, {"RAISED", "NAME", "FLAGS", "TEXT"});
            char flags[16];
            for (const auto& row : store->alerts(query)) {
                std::snprintf(flags, sizeof flags, "0x%08X", row.alert.flags);
                Cell flagCell = TextCell(flags);
                flagCell.json = std::to_string(row.alert.flags);
                listing.add({TimeCell(row.alert.raisedAt), TextCell(row.alert.name), flagCell,
                             TextCell(row.alert.text)});
            }
            listing.finish();
            return 0;
        }
        std::vector<std::string> headings = kEventHeadings;
        headings.push_back("COLLECTED");
        Listing listing(format, headings);
        for (const auto& row : store->values(query)) {
            auto cells = EventRow(row.value);
            cells.push_back(TimeCell(row.value.collectedAt));
            listing.add(cells);
        }
        listing.finish();
    } catch (const StoreError& error) {
        throw Failure(error.what());
    }
    return 0;
}

} // namespace kovra_host
