// One photo's answer as a JSON object, the same for the web server and leafid-eval --json.
#pragma once

#include <nlohmann/json.hpp>

#include "identification.hpp"

// Keys keep the order they are written in: answer, species, verdict, outputs, values, size.
using Json = nlohmann::ordered_json;

// {"answer": the dialogue's line, "species": key or null, "verdict": verdictKey, "outputs":
// {key: output}, "values": {name: value}, "working_size": {"width", "height"}}. An output that
// is not a number is null.
Json identificationJson(const Identification& identification);
