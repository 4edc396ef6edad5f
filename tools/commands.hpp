// The two tools' whole runs; the executables only call these.
#pragma once

// leafid-train [options] DATA_DIR: trains a network on a labelled folder and writes it.
int runTrainCommand(int argc, const char* const* argv);

// leafid-eval [options] DATA_DIR: classifies a labelled folder as the program would.
int runEvalCommand(int argc, const char* const* argv);
