// Limits the size of the files this process writes, as a quota reached or a
// file-size limit does: a write within a file's length goes through, one that
// would grow it past the limit is cut there and then fails with EFBIG
// ("File too large"). SIGXFSZ is ignored meanwhile so that the failure is the
// write's, not the end of the process.
#pragma once

#include <sys/resource.h>

#include <csignal>
#include <cstdint>

namespace kovra {

class FileSizeLimit {
  public:
    explicit FileSizeLimit(std::uintmax_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = static_cast<rlim_t>(bytes);
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit saved_{};
    void (*previous_)(int) = SIG_DFL;
};

} // namespace kovra
