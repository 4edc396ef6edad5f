#include "handoff.hpp"

#include <locale>
#include <sstream>

FeatureHandOff extractFeatures(std::string path, size_t descriptorCount) {
    const LeafAnalysis analysis = analyzeLeafImage(path, true, true, descriptorCount);
    if (analysis.verdict != LeafVerdict::Measured) {
        return {analysis.verdict, ""};
    }
    return {analysis.verdict, toFeatureText(analysis.features)};
}

FeatureText toFeatureText(FeatureVector features) {
    FeatureText text;
    for (double value : features) {
        std::ostringstream number;             // fresh each time: no formatting state carries over
        number.imbue(std::locale::classic());  // the classifier reads '.' as the decimal point
        number << value;
        text += number.str() + " ";
    }
    return text;
}
