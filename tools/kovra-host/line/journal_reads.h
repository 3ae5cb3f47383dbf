// A journal collection followed on the line, request by good reply: the file
// each station has selected, its header before the records and after them,
// and the records read in between. It tells a progress line how many records
// came, and a lost-record alert how many records were lost, where the reads
// tell it.
#pragma once

#include "journal/read_plan.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kovra_host {

// The records a file lost since the collection before.
struct LostCount {
    unsigned records = 0;
    // The ring turned past the record passed on last: whole turns more may
    // have gone unseen, `ring` records each.
    bool atLeast = false;
    unsigned ring = 0;
};

// "at least 5 records lost", "3 records lost".
std::string LostText(const LostCount& lost);

// One file's latest read as it crossed the line.
struct FileRead {
    std::optional<kovra::FileHeader> before;
    std::optional<kovra::FileHeader> after;
    // The first reads of records after `before`: address and words.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> reads;
};

// What a read that ended in an overflow alert tells of the records lost:
// the ring's turn past the record passed on last (when the read shows it read
// that record again) and the slots the PLC wrote while a whole file was read.
// Nothing when it cannot tell.
std::optional<LostCount> LostInOverflow(const FileRead& read);

class JournalReads {
  public:
    // A request and the good reply to it; returns the journal records the
    // reply brought.
    unsigned exchange(const std::vector<std::uint8_t>& request,
                      const std::vector<std::uint8_t>& reply);
    // The latest read of the station's file, if one crossed the line.
    const FileRead* latest(int station, std::uint16_t file) const;

  private:
    std::map<int, std::uint16_t> selected_; // by station, the file selected last
    std::map<std::pair<int, std::uint16_t>, FileRead> files_;
};

} // namespace kovra_host
