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
    json["working_size"] = {{"width", identification.workingSize.width},
                            {"height", identification.workingSize.height}};
    return json;
}
