#include "confidence.hpp"

#include <algorithm>
#include <cmath>

namespace {

double logit(double output) {
    const double o = std::clamp(output, 1e-15, 1.0 - 1e-15);
    return std::log(o / (1.0 - o));
}

int strongest(const std::vector<double>& values, int except) {
    int best = -1;
    for (size_t k = 0; k < values.size(); ++k) {
        const int index = static_cast<int>(k);
        if (index != except && (best < 0 || values[k] > values[static_cast<size_t>(best)])) {
            best = index;
        }
    }
    return best;
}

}  // namespace

std::vector<double> outputShares(const std::vector<double>& outputs, double temperature) {
    std::vector<double> shares;
    for (double output : outputs) {
        shares.push_back(logit(output) / temperature);
    }
    if (shares.empty()) {
        return shares;
    }
    const double top = *std::max_element(shares.begin(), shares.end());
    double sum = 0.0;
    for (double& share : shares) {
        share = std::exp(share - top);
        sum += share;
    }
    for (double& share : shares) {
        share /= sum;
    }
    return shares;
}

Confidence judgeConfidence(const std::vector<double>& outputs,
                           const std::vector<double>& calibration) {
    const bool calibrated = calibration.size() == 2;
    Confidence confidence;
    confidence.shares = outputShares(outputs, calibrated ? calibration[0] : 1.0);
    confidence.best = strongest(outputs, -1);
    confidence.runnerUp = strongest(outputs, confidence.best);
    confidence.uncertain = calibrated && confidence.best >= 0 &&
                           confidence.shares[static_cast<size_t>(confidence.best)] < calibration[1];
    return confidence;
}

double fitTemperature(const std::vector<std::vector<double>>& outputs,
                      const std::vector<int>& labels) {
    double bestTemperature = 1.0;
    double bestLikelihood = -INFINITY;
    for (int step = 0; step <= 240; ++step) {  // 0.05 to 20, evenly on a log scale
        const double temperature = 0.05 * std::pow(400.0, step / 240.0);
        double likelihood = 0.0;
        for (size_t e = 0; e < outputs.size(); ++e) {
            const std::vector<double> shares = outputShares(outputs[e], temperature);
            likelihood += std::log(std::max(shares[static_cast<size_t>(labels[e])], 1e-300));
        }
        if (likelihood > bestLikelihood) {
            bestLikelihood = likelihood;
            bestTemperature = temperature;
        }
    }
    return bestTemperature;
}

double fitUncertainLevel(const std::vector<std::vector<double>>& outputs,
                         const std::vector<int>& labels, double temperature, double precision) {
    std::vector<std::pair<double, bool>> answers;  // best share, right
    for (size_t e = 0; e < outputs.size(); ++e) {
        const std::vector<double> shares = outputShares(outputs[e], temperature);
        const int best = strongest(outputs[e], -1);
        answers.emplace_back(shares[static_cast<size_t>(best)], best == labels[e]);
    }
    std::sort(answers.begin(), answers.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    // Walking down from the surest answer, the level is the last share where the answers so far
    // are still right often enough; answers of one share are taken in or left out together.
    double level = 1.0;
    int right = 0;
    for (size_t i = 0; i < answers.size(); ++i) {
        right += answers[i].second;
        const bool lastOfShare = i + 1 == answers.size() || answers[i + 1].first < answers[i].first;
        if (lastOfShare && right >= precision * static_cast<double>(i + 1)) {
            level = answers[i].first;
        }
    }
    return level;
}
