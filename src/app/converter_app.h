// The keldrin command line: turns the arguments into a report name and an optional
// library name, runs the conversion, and maps every outcome to one message on standard
// output and one exit code. This is the only place where failures become text.
#pragma once

#include <string>
#include <vector>

namespace keldrin {

// Exit codes of the program.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitUsage = 2;  // no arguments at all
inline constexpr int kExitError = 3;  // a bad command line or a failed conversion

class ConverterApp {
  public:
    // Prints the banner, then parses `arguments` (those after the program name) and
    // converts; returns the exit code. Never throws for a failed conversion.
    int run(const std::vector<std::u16string>& arguments);

    // Fills sourceName and targetName; throws NoArgsException or InvalidArgsException.
    void parseArguments(const std::vector<std::u16string>& arguments);
    // Opens the report and converts it; whatever fails passes through unchanged.
    void execute();

    void printBanner();
    void printUsage();

    const std::u16string& source() const { return sourceName; }
    const std::u16string& target() const { return targetName; }

  private:
    std::u16string sourceName;
    // Empty unless "-p" named a library: the conversion then derives the name.
    std::u16string targetName;
};

// The program: builds a ConverterApp and runs it. The platform's entry point (main on
// POSIX, wmain on Windows) only turns its argument vector into wide text and calls this.
int runKeldrin(const std::vector<std::u16string>& arguments);

}  // namespace keldrin
