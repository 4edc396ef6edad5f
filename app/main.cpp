#include "dialogue.hpp"

int main() {
    return runDialogue();
}
