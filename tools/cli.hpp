// Command-line habits shared by the tools: options, numbers, exit codes and progress.
#pragma once

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

constexpr int exitSuccess = 0;
constexpr int exitFailure = 1;   // the work could not be done, e.g. a file could not be written
constexpr int exitBadUsage = 2;  // wrong command line or unusable data

struct OptionRule {
    std::string name;   // "--epochs"
    std::string alias;  // "-e", or empty
    bool takesValue = true;
};

struct Arguments {
    std::map<std::string, std::string> values;  // by long name; "" for a switch
    std::vector<std::string> positional;
    bool help = false;
    bool version = false;
    std::string fault;  // empty when the command line could be read
};

// Reads "--name value", "--name=value", "-x value", switches, "-h"/"--help", "--version", and "--"
// before positional words that start with '-'. An option given twice is a fault.
Arguments parseArguments(int argc, const char* const* argv, const std::vector<OptionRule>& rules);

// Writes "program: message" and a pointer to --help on standard error; returns exitBadUsage.
int reportBadUsage(const std::string& program, const std::string& message);

// The exit code when the command line cannot be read or asks only for --help or --version
// (answered here); nothing when the command has work to do.
std::optional<int> answerWithoutWork(const Arguments& arguments, const std::string& program,
                                     const std::string& usage);

// A whole number in [low, high], or nothing.
std::optional<long long> parseInteger(const std::string& text, long long low, long long high);

// "12", "12,6" or "none" (no hidden layer); each size 1 to 1000.
std::optional<std::vector<int>> parseLayerSizes(const std::string& text);

// Reports work done on standard error: a bar redrawn in place on a terminal, a few plain lines
// otherwise, so logs stay short.
class Progress {
  public:
    Progress(std::string label, int total, std::ostream& out, bool live);
    void update(int done);
    void finish();

  private:
    std::string label_;
    int total_;
    std::ostream& out_;
    bool live_;
    int lastQuarter_ = -1;
    bool finished_ = false;
};

// True when standard error is a terminal.
bool standardErrorIsTerminal();
