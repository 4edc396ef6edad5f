#include "cli.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

Arguments parseArguments(int argc, const char* const* argv, const std::vector<OptionRule>& rules) {
    Arguments arguments;
    bool optionsEnded = false;
    for (int a = 1; a < argc; ++a) {
        const std::string word = argv[a];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            arguments.positional.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (word == "-h" || word == "--help") {
            arguments.help = true;
            continue;
        }
        if (word == "--version") {
            arguments.version = true;
            continue;
        }
        const size_t equals = word.find('=');
        const std::string name = word.substr(0, equals);
        const OptionRule* rule = nullptr;
        for (const OptionRule& candidate : rules) {
            if (name == candidate.name || (!candidate.alias.empty() && name == candidate.alias)) {
                rule = &candidate;
            }
        }
        if (!rule) {
            arguments.fault = "unknown option '" + name + "'";
            return arguments;
        }
        std::string value;
        if (!rule->takesValue) {
            if (equals != std::string::npos) {
                arguments.fault = "option " + rule->name + " takes no value";
                return arguments;
            }
        } else if (equals != std::string::npos) {
            value = word.substr(equals + 1);
        } else if (a + 1 < argc) {
            value = argv[++a];
        } else {
            arguments.fault = "option " + rule->name + " needs a value";
            return arguments;
        }
        if (!arguments.values.emplace(rule->name, value).second) {
            // The last would win silently: an output named first would never be written.
            arguments.fault = "option " + rule->name + " is given twice";
            return arguments;
        }
    }
    return arguments;
}

int reportBadUsage(const std::string& program, const std::string& message) {
    std::cerr << program << ": " << message << "\n"
              << "Try '" << program << " --help' for more information." << std::endl;
    return exitBadUsage;
}

std::optional<int> answerWithoutWork(const Arguments& arguments, const std::string& program,
                                     const std::string& usage) {
    if (!arguments.fault.empty()) {
        return reportBadUsage(program, arguments.fault);
    }
    if (arguments.help) {
        std::cout << usage;
        return exitSuccess;
    }
    if (arguments.version) {
        std::cout << program << " (leafid) " LEAFID_VERSION "\n";
        return exitSuccess;
    }
    return std::nullopt;
}

std::optional<long long> parseInteger(const std::string& text, long long low, long long high) {
    if (text.empty() || text.find_first_not_of("+-0123456789") != std::string::npos) {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::vector<int>> parseLayerSizes(const std::string& text) {
    std::vector<int> sizes;
    if (text == "none") {
        return sizes;
    }
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        const std::optional<long long> size =
            parseInteger(text.substr(start, comma - start), 1, 1000);
        if (!size) {
            return std::nullopt;
        }
        sizes.push_back(static_cast<int>(*size));
        if (comma == std::string::npos) {
            return sizes;
        }
        start = comma + 1;
    }
}

Progress::Progress(std::string label, int total, std::ostream& out, bool live)
    : label_(std::move(label)), total_(total > 0 ? total : 1), out_(out), live_(live) {
    update(0);
}

void Progress::update(int done) {
    if (finished_) {
        return;
    }
    if (live_) {
        const int width = 30;
        const int filled = width * done / total_;
        out_ << "\r" << label_ << " [" << std::string(static_cast<size_t>(filled), '#')
             << std::string(static_cast<size_t>(width - filled), ' ') << "] " << done << "/"
             << total_ << std::flush;
        return;
    }
    const int quarter = 4 * done / total_;
    if (quarter > lastQuarter_) {
        lastQuarter_ = quarter;
        out_ << label_ << ": " << done << "/" << total_ << std::endl;
    }
}

void Progress::finish() {
    if (finished_) {
        return;
    }
    update(total_);
    if (live_) {
        out_ << std::endl;
    }
    finished_ = true;
}

bool standardErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}
