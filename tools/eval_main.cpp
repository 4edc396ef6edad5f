#include "commands.hpp"

int main(int argc, char** argv) {
    return runEvalCommand(argc, argv);
}
