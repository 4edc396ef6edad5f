#include "commands.hpp"

int main(int argc, char** argv) {
    return runTrainCommand(argc, argv);
}
