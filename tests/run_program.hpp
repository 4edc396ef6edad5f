// Runs a built program as a child process: feeds its standard input, collects its standard
// output and exit code, and kills it when it takes too long.
#pragma once

#include <map>
#include <string>
#include <vector>

struct ProgramRun {
    std::string output;  // standard output, byte for byte
    std::string errors;  // standard error
    int exitCode = -1;   // -1 when killed or crashed
    bool timedOut = false;
    double seconds = 0.0;          // from start to end
    long peakMemoryKilobytes = 0;  // the child's largest resident set
};

// env entries are set in the child on top of the inherited environment.
ProgramRun runProgram(const std::string& binary, const std::vector<std::string>& args,
                      const std::string& workDir, const std::string& input,
                      const std::map<std::string, std::string>& env = {},
                      double timeoutSeconds = 60.0);
