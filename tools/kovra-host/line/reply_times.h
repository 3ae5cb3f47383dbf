// Reply times in whole milliseconds, kept as a count per distinct time: a
// watch that runs for days holds no more than the reply timeout's range of
// entries, and min, median and max stay exact.
#pragma once

#include <map>

namespace kovra_host {

class ReplyTimes {
  public:
    void add(unsigned ms);
    void merge(const ReplyTimes& other);
    unsigned count() const { return count_; }
    // Each of these wants at least one time.
    unsigned min() const;
    // Of an even count, the lower of the two middle times: always a time that
    // was seen, in whole milliseconds like the others.
    unsigned median() const;
    unsigned max() const;

  private:
    std::map<unsigned, unsigned> counts_; // by time
    unsigned count_ = 0;
};

} // namespace kovra_host
