#include "support/world.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kovra {

PtyPair::PtyPair() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    tcgetattr(master_, &raw);
    cfmakeraw(&raw);
    tcsetattr(master_, TCSANOW, &raw);
    slavePath_ = name;
    slaveKeeper_ = slave;
}

PtyPair::~PtyPair() {
    if (slaveKeeper_ >= 0) {
        close(slaveKeeper_);
    }
    if (master_ >= 0) {
        close(master_);
    }
}

void PtyPair::write(const std::vector<std::uint8_t>& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            throw std::runtime_error("write to pty master failed");
        }
        done += static_cast<std::size_t>(n);
    }
}

std::vector<std::uint8_t> PtyPair::read(int timeoutMs, std::size_t limit) const {
    std::vector<std::uint8_t> bytes;
    pollfd pfd{master_, POLLIN, 0};
    while (bytes.size() < limit && poll(&pfd, 1, timeoutMs) > 0 && (pfd.revents & POLLIN)) {
        std::uint8_t chunk[512];
        const ssize_t n = ::read(master_, chunk, std::min(sizeof chunk, limit - bytes.size()));
        if (n <= 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

TempCurrentDirectory::TempCurrentDirectory() : previous_(std::filesystem::current_path()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kovra-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
    std::filesystem::current_path(path_);
}

TempCurrentDirectory::~TempCurrentDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
    std::filesystem::remove_all(path_, ignored);
}

void TempCurrentDirectory::writeFile(const std::string& name, const std::string& contents) const {
    std::ofstream out(path_ / name, std::ios::binary);
    out << contents;
}

std::string TempCurrentDirectory::readFile(const std::string& name) const {
    std::ifstream in(path_ / name, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

std::vector<std::string> HostLibraryTest::messages(int severity) {
    std::vector<std::string> texts;
    for (const auto& entry : halvo::Log()) {
        if (severity < 0 || entry.severity == severity) {
            texts.push_back(entry.text);
        }
    }
    return texts;
}

bool HostLibraryTest::logged(const std::string& text, int severity) {
    for (const auto& message : messages(severity)) {
        if (message == text) {
            return true;
        }
    }
    return false;
}

void ReleaseLastEvents(DriverContext& context) {
    if (context.lastEventFile != nullptr) {
        std::fclose(context.lastEventFile);
        context.lastEventFile = nullptr;
    }
    std::free(context.lastEvents);
    context.lastEvents = nullptr;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char piece[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(piece, sizeof piece, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += piece;
    }
    return text;
}

} // namespace kovra
