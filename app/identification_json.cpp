#include "identification_json.hpp"

namespace {

Json byName(const std::vector<NamedValue>& values) {
    Json object = Json::object();
    for (const NamedValue& value : values) {
        object[value.name] = value.value;
    }
    return object;
}

}  // namespace

Json identificationJson(const Identification& identification) {
    Json json;
    json["answer"] = identification.answer;
    json["species"] =
        identification.speciesKey.empty() ? Json(nullptr) : Json(identification.speciesKey);
    json["verdict"] = verdictKey(identification.verdict);
    json["outputs"] = byName(identification.outputs);
    json["values"] = byName(identification.values);
    if (!identification.histograms.empty()) {
        Json histograms = Json::array();
        for (size_t r = 0; r < identification.histograms.size(); ++r) {
            histograms.push_back(
                {{"radius", histogramRadiusShares[r]}, {"bins", identification.histograms[r]}});
        }
        json["outline_histograms"] = histograms;
    }
    if (!identification.outputs.empty()) {
        const Confidence& confidence = identification.confidence;
        Json shares = Json::object();
        for (size_t k = 0; k < identification.outputs.size(); ++k) {
            shares[identification.outputs[k].name] = confidence.shares[k];
        }
        const auto key = [&](int output) {
            return output < 0 ? Json(nullptr) : Json(identification.outputs[output].name);
        };
        json["confidence"] = {{"shares", shares},
                              {"best", key(confidence.best)},
                              {"runner_up", key(confidence.runnerUp)},
                              {"uncertain", confidence.uncertain},
                              {"summary", identification.hedged}};
    }
    json["working_size"] = {{"width", identification.workingSize.width},
                            {"height", identification.workingSize.height}};
    return json;
}
