#include "line/journal_reads.h"

#include "line/frames.h"
#include "output/format.h"

namespace kovra_host {

using kovra::FileHeader;

namespace {

constexpr std::uint8_t kReadRegisters = 3;
constexpr std::uint8_t kWriteRegister = 6;
// Of the reads after the header, the first two show whether the record
// passed on last was read again.
constexpr std::size_t kReadsKept = 2;

} // namespace

std::string LostText(const LostCount& lost) {
    if (lost.atLeast && lost.records == 0) {
        return "no record lost unless the ring of " + std::to_string(lost.ring) +
               " turned over more than once";
    }
    return (lost.atLeast ? "at least " : "") + Plural(lost.records, "record") + " lost";
}

std::optional<LostCount> LostInOverflow(const FileRead& read) {
    if (!read.before || read.reads.empty()) {
        return std::nullopt;
    }
    const FileHeader& header = *read.before;
    // A whole file is read from its oldest record; a read of one record
    // before that is the record passed on last, read again.
    const kovra::ReadPlan whole = kovra::PlanReads(header, 0, false);
    const std::uint16_t oldest =
        whole.part1.begin < whole.part1.end ? whole.part1.begin : whole.part2.begin;
    const bool reread = read.reads.size() == kReadsKept &&
                        read.reads[0].second == header.recordWords &&
                        read.reads[1].first == header.firstRecordAddress + oldest;
    const unsigned passed = read.reads[0].first - header.firstRecordAddress + 1u;
    LostCount lost{0, false, header.recordCount};
    // The ring turned past the record passed on last; otherwise the alert
    // came for the slots written during the read alone.
    if (reread && passed < header.usedRecords) {
        // A file refilled after it was cleared tells nothing of what it lost.
        if (header.usedRecords != header.recordCount) {
            return std::nullopt;
        }
        // The PLC went on from the record after the one passed on last, and
        // now writes at nextRecord: a whole turn of the ring is still held,
        // what came before it is gone.
        lost.records = (header.nextRecord + header.recordCount - passed) % header.recordCount;
        lost.atLeast = true;
    }
    if (read.after) {
        lost.records += kovra::SettleWholeRead(header, *read.after).lostRecords;
    }
    if (!lost.atLeast && lost.records == 0) {
        return std::nullopt;
    }
    return lost;
}

unsigned JournalReads::exchange(const std::vector<std::uint8_t>& request,
                                const std::vector<std::uint8_t>& reply) {
    if (request.size() < 6) {
        return 0;
    }
    const int station = request[0];
    const std::uint16_t address = FrameWord(request, 2);
    const std::uint16_t value = FrameWord(request, 4);
    if (request[1] == kWriteRegister && address == kovra::kFileSelectAddress) {
        selected_[station] = value;
        files_[{station, value}] = FileRead{};
        return 0;
    }
    if (request[1] != kReadRegisters) {
        return 0;
    }
    if (address == kovra::kFileTableAddress) {
        selected_.erase(station);
        return 0;
    }
    const auto selected = selected_.find(station);
    if (selected == selected_.end() || reply.size() < 3u + 2u * value) {
        return 0;
    }
    FileRead& file = files_[{station, selected->second}];
    if (address == kovra::kHeaderAddress && value == kovra::kHeaderWords) {
        std::uint16_t words[kovra::kHeaderWords];
        for (std::size_t i = 0; i < kovra::kHeaderWords; ++i) {
            words[i] = FrameWord(reply, 3 + 2 * i);
        }
        (file.before ? file.after : file.before) = kovra::HeaderFromWords(words);
        return 0;
    }
    if (!file.before || file.after || file.before->recordWords == 0 ||
        address < file.before->firstRecordAddress) {
        return 0;
    }
    if (file.reads.size() < kReadsKept) {
        file.reads.emplace_back(address, value);
    }
    return value / file.before->recordWords;
}

const FileRead* JournalReads::latest(int station, std::uint16_t file) const {
    const auto found = files_.find({station, file});
    return found == files_.end() ? nullptr : &found->second;
}

} // namespace kovra_host
