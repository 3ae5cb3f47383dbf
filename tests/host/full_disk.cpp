// Preloaded into kovra-host: every fwrite to a last-event file (KOVRAnnH.DAT)
// fails with ENOSPC while a file named "disk-full" lies beside it, as on a
// full disk. Other files, the history database among them, are not touched.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" std::size_t fwrite(const void* data, std::size_t size, std::size_t count,
                              std::FILE* stream) {
    using Fwrite = std::size_t (*)(const void*, std::size_t, std::size_t, std::FILE*);
    static const auto real = reinterpret_cast<Fwrite>(dlsym(RTLD_NEXT, "fwrite"));
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(stream));
    char path[4096];
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length > 0) {
        path[length] = '\0';
        char* name = std::strrchr(path, '/');
        if (name != nullptr && std::strlen(name) == 13 && std::strncmp(name, "/KOVRA", 6) == 0 &&
            std::strcmp(name + 8, "H.DAT") == 0) {
            std::strcpy(name, "/disk-full");
            if (access(path, F_OK) == 0) {
                errno = ENOSPC;
                return 0;
            }
        }
    }
    return real(data, size, count, stream);
}
