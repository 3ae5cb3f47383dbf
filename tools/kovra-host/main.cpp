// kovra-host: the command-line host of the KOVRA driver.
#include "commands/command_line.h"
#include "commands/table.h"
#include "output/console.h"
#include "output/failure.h"

#include <cstdio>
#include <exception>

using namespace kovra_host;

int main(int argc, char** argv) {
    Console console(stderr);
    CommandLine line;
    try {
        line = ParseCommandLine(argc, argv);
        if (line.has("version")) {
            std::printf("kovra-host %s\n", KOVRA_HOST_VERSION);
            return 0;
        }
        if (line.has("help") || line.command.empty()) {
            std::fputs(line.command.empty() ? GeneralHelp().c_str()
                                            : CommandHelp(line.command).c_str(),
                       line.command.empty() && !line.has("help") ? stderr : stdout);
            return line.command.empty() && !line.has("help") ? 2 : 0;
        }
        return FindCommand(line.command)->run(line, console);
    } catch (const UsageError& error) {
        console.line(std::string("kovra-host: ") + error.what() + " (see kovra-host " +
                     (line.command.empty() ? std::string("--help") : line.command + " --help") +
                     ")");
        return 2;
    } catch (const Failure& error) {
        console.line(std::string("kovra-host: ") + error.what());
        return 1;
    } catch (const std::exception& error) {
        console.line(std::string("kovra-host: ") + error.what());
        return 1;
    }
}
