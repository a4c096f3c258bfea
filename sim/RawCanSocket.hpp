#pragma once

#include <string>
#include <vector>

namespace qel::sim {

// Opens a raw CAN socket bound to the network interface `interface` (already
// up), non-blocking and closed on exec; the caller owns the descriptor. With
// `only_ids` given, only standard frames with those identifiers and no flag
// bits pass, so other traffic costs the reader nothing; empty lets every
// frame through. Throws std::runtime_error "cannot open CAN interface
// '<name>': <reason>" if the name is empty or too long, the interface does not
// exist or the socket cannot be set up.
int openRawCanSocket(const std::string& interface, const std::vector<int>& only_ids = {});

}  // namespace qel::sim
