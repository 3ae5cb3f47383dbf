#include "commands/common.h"

#include <cstdio>

namespace kovra_host {

namespace {

HistoryQuery QueryFrom(const CommandLine& line) {
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
    return query;
}

void ListAlerts(HistoryStore& store, const HistoryQuery& query, OutputFormat format) {
    Listing listing(format, {"RAISED", "NAME", "FLAGS", "TEXT"});
    char flags[16];
    for (const auto& row : store.alerts(query)) {
        std::snprintf(flags, sizeof flags, "0x%08X", row.alert.flags);
        Cell flagCell = TextCell(flags);
        flagCell.json = std::to_string(row.alert.flags);
        listing.add({TimeCell(row.alert.raisedAt), TextCell(row.alert.name), flagCell,
                     TextCell(row.alert.text)});
    }
    listing.finish();
}

void ListValues(HistoryStore& store, const HistoryQuery& query, OutputFormat format) {
    std::vector<std::string> headings = kEventHeadings;
    headings.push_back("COLLECTED");
    Listing listing(format, headings, {}, kDataOnly);
    for (const auto& row : store.values(query)) {
        auto cells = EventRow(row.value);
        cells.push_back(TimeCell(row.value.collectedAt));
        listing.add(cells);
    }
    listing.finish();
}

} // namespace

int RunHistory(const CommandLine& line, Console&) {
    if (!HistoryAvailable()) {
        throw Failure("this build of kovra-host keeps no history: it was built without SQLite");
    }
    const HistoryQuery query = QueryFrom(line);
    const OutputFormat format = FormatOf(line);
    try {
        const auto store = HistoryStore::Open(ExistingHistoryFile(line), false);
        line.has("alerts") ? ListAlerts(*store, query, format) : ListValues(*store, query, format);
    } catch (const StoreError& error) {
        throw Failure(error.what());
    }
    return 0;
}

} // namespace kovra_host
