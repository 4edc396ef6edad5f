// Which network file the programs read when none is named.
#pragma once

#include <string>

// "nn.dat" when the working directory has an entry of that name, even one that will be refused:
// a damaged file there must not be passed over in silence. Otherwise the network installed with
// the program, <folder of the executable>/../share/leafid/nn.dat, which holds for any install
// prefix. When that file is absent too, "nn.dat" again, so the failure reads as it always has.
std::string defaultNetworkFile();
