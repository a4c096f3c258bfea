// Links only the standalone solver library.
#include <cstdio>

#include "round_trip.hpp"

int main() {
    qel::KinematicSolver solver;
    const double worst = roundTripError(solver);
    std::printf("vanteq round trip, largest joint error %.2e rad\n", worst);
    return worst < 1e-3 ? 0 : 1;
}
