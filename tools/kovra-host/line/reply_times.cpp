#include "line/reply_times.h"

namespace kovra_host {

void ReplyTimes::add(unsigned ms) {
    ++counts_[ms];
    ++count_;
}

void ReplyTimes::merge(const ReplyTimes& other) {
    for (const auto& [ms, times] : other.counts_) {
        counts_[ms] += times;
    }
    count_ += other.count_;
}

unsigned ReplyTimes::min() const {
    return counts_.begin()->first;
}

unsigned ReplyTimes::median() const {
    auto at = counts_.begin();
    // Passes over the times below the median.
    for (unsigned below = (count_ - 1) / 2; below >= at->second; ++at) {
        below -= at->second;
    }
    return at->first;
}

unsigned ReplyTimes::max() const {
    return counts_.rbegin()->first;
}

} // namespace kovra_host
