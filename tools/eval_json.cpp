#include "eval_json.hpp"

#include <fstream>

#include "identification_json.hpp"

std::string writeJsonLines(const std::string& fileName, NeuralNetwork& network,
                           const std::vector<LabelledImage>& images,
                           const std::vector<std::string>& names) {
    std::ofstream file(fileName, std::ios::binary);
    if (!file) {
        return "cannot write '" + fileName + "'";
    }
    for (const LabelledImage& image : images) {
        Json line = {{"path", image.path}, {"class", nullptr}};
        if (image.label >= 0) {
            line["class"] = names[static_cast<size_t>(image.label)];
        }
        line.update(identificationJson(identifyLeaf(network, image.path, false)));
        file << line.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
    }
    file.close();
    return file ? "" : "cannot write '" + fileName + "'";
}
