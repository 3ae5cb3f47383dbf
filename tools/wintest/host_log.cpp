#include "host_log.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>

namespace wintest {

std::vector<std::string> Messages(int severity) {
    std::vector<std::string> texts;
    for (const auto& entry : halvo::Log()) {
        if (severity < 0 || entry.severity == severity) {
            texts.push_back(entry.text);
        }
    }
    return texts;
}

bool Logged(const std::string& text, int severity) {
    return CountLogged(text, severity) > 0;
}

int CountLogged(const std::string& text, int severity) {
    int count = 0;
    for (const auto& message : Messages(severity)) {
        count += message == text ? 1 : 0;
    }
    return count;
}

bool LoggedStartingWith(const std::string& prefix, int severity) {
    for (const auto& message : Messages(severity)) {
        if (message.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

void DumpLog() {
    for (const auto& entry : halvo::Log()) {
        std::printf("     log %2d %s\n", entry.severity, entry.text.c_str());
    }
    std::fflush(stdout);
}

std::string CurrentDirectory() {
    char path[MAX_PATH] = {};
    const DWORD length = GetCurrentDirectoryA(MAX_PATH, path);
    return std::string(path, length < MAX_PATH ? length : 0);
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& name) {
    std::FILE* file = std::fopen(name.c_str(), "rb");
    if (file == nullptr) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    std::fclose(file);
    return bytes;
}

bool WriteTextFile(const std::string& name, const std::string& text) {
    std::FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

void RemoveFile(const std::string& name) {
    DeleteFileA(name.c_str());
}

void Pause(unsigned milliseconds) {
    Sleep(milliseconds);
}

} // namespace wintest
