// Fixtures for the kinds of world the tests run in: a pseudo-terminal pair, a
// temporary current directory, and the stand-in host library.
#pragma once

#include "contract/context.h"
#include "halvopro/halvopro.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace kovra {

// A pseudo-terminal pair in raw mode: the driver opens slavePath(), the test
// (or the PLC simulator) plays the far end on masterFd().
class PtyPair {
  public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int masterFd() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

    void write(const std::vector<std::uint8_t>& bytes) const;
    // Reads what is there within the timeout (stops at `limit` bytes).
    std::vector<std::uint8_t> read(int timeoutMs, std::size_t limit = 4096) const;

  private:
    int master_ = -1;
    int slaveKeeper_ = -1; // keeps the slave side alive between opens
    std::string slavePath_;
};

// Makes a fresh temporary directory the current directory for the test's life.
class TempCurrentDirectory {
  public:
    TempCurrentDirectory();
    ~TempCurrentDirectory();
    TempCurrentDirectory(const TempCurrentDirectory&) = delete;
    TempCurrentDirectory& operator=(const TempCurrentDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    void writeFile(const std::string& name, const std::string& contents) const;
    std::string readFile(const std::string& name) const;

  private:
    std::filesystem::path previous_;
    std::filesystem::path path_;
};

// Resets the stand-in host library and silences its echo.
class HostLibraryTest : public ::testing::Test {
  protected:
    HostLibraryTest() {
        halvo::Reset();
        halvo::SetLogSink(nullptr);
    }
    ~HostLibraryTest() override { halvo::Reset(); }

    static std::vector<std::string> messages(int severity = -1);
    static bool logged(const std::string& text, int severity = -1);
};

std::string Hex(const std::vector<std::uint8_t>& bytes);

// The driver keeps its last-event table and file until the process ends; a
// test ends sooner and gives them back.
void ReleaseLastEvents(DriverContext& context);

} // namespace kovra
