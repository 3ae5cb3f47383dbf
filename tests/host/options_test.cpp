#include "commands/command_line.h"

#include <gtest/gtest.h>

using namespace kovra_host;

namespace {

CommandLine Parse(std::vector<const char*> words) {
    words.insert(words.begin(), "kovra-host");
    return ParseCommandLine(static_cast<int>(words.size()), words.data());
}

} // namespace

TEST(CommandLineParsing, OptionsStandBeforeOrAfterTheCommandInBothForms) {
    const auto line = Parse(
        {"--port", "/dev/pts/3", "read", "0130010", "--baud=19200", "01C0020", "--", "--odd"});
    EXPECT_EQ(line.command, "read");
    EXPECT_EQ(line.arguments, (std::vector<std::string>{"0130010", "01C0020", "--odd"}));
    EXPECT_EQ(line.value("port"), "/dev/pts/3");
    EXPECT_EQ(line.integer("baud", 1, 65535), 19200);
    EXPECT_FALSE(line.has("trace"));
    const auto write = Parse({"write", "0130010", "-12.5", "--port", "COM1"});
    EXPECT_EQ(write.arguments[1], "-12.5");
}

TEST(CommandLineParsing, MistakesAreNamed) {
    EXPECT_THROW(Parse({"read", "--bogus"}), UsageError);
    EXPECT_THROW(Parse({"frobnicate"}), UsageError);
    EXPECT_THROW(Parse({"read", "--port"}), UsageError);
    EXPECT_THROW(Parse({"read", "--trace=yes"}), UsageError);
    try {
        Parse({"info", "--every", "1"});
        FAIL();
    } catch (const UsageError& error) {
        EXPECT_STREQ(error.what(), "--every does not apply to info");
    }
    const auto line = Parse({"watch", "--every", "soon", "--count", "0"});
    EXPECT_THROW(line.number("every", 0.01, 86400), UsageError);
    EXPECT_THROW(line.integer("count", 1, 100), UsageError);
}

TEST(CommandLineParsing, EachCommandHasHelpListingOnlyItsOptions) {
    const std::string watch = CommandHelp("watch");
    EXPECT_NE(watch.find("--every SECONDS"), std::string::npos);
    EXPECT_NE(watch.find("Gates file"), std::string::npos);
    const std::string history = CommandHelp("history");
    EXPECT_EQ(history.find("--port"), std::string::npos);
    EXPECT_NE(history.find("--from TIME"), std::string::npos);
    EXPECT_NE(GeneralHelp().find("collect STATION..."), std::string::npos);
}
