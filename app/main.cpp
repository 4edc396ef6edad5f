#include <cstring>
#include <iostream>

#include "dialogue.hpp"

namespace {

const char* const help =
    "Usage: leafid [--help | --version]\n"
    "\n"
    "Names the tree species of leaf photos: Ginkgo, Lime, Maple, Oak or Willow. leafid asks for\n"
    "image paths on standard input, reads them one blank-separated word at a time, and answers\n"
    "each with the measured shape features and the species. The word \"end\" or the end of the\n"
    "input ends it.\n"
    "\n"
    "The network is read from nn.dat in the working directory. When the working directory has\n"
    "no nn.dat, leafid reads the network installed with it, ../share/leafid/nn.dat from the\n"
    "folder that holds leafid (/usr/share/leafid/nn.dat for /usr/bin/leafid).\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help\n"
    "  --version      show the version\n"
    "Any other argument is ignored.\n"
    "\n"
    "Exit status:\n"
    "  0  after \"end\" or at the end of the input\n"
    "  3  the network could not be loaded\n"
    "  4  standard output could not be written (after a line on standard error)\n";

}  // namespace

int main(int argc, char** argv) {
    for (int a = 1; a < argc; ++a) {
        if (std::strcmp(argv[a], "--help") == 0 || std::strcmp(argv[a], "-h") == 0) {
            std::cout << help;
            return 0;
        }
        if (std::strcmp(argv[a], "--version") == 0) {
            std::cout << "leafid " LEAFID_VERSION "\n";
            return 0;
        }
    }
    return runDialogue();
}
