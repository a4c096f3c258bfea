// Links both libraries, the standalone solver first, as a host may that uses
// the standalone solver for planning and the controller for the arm. Each
// library must keep calling its own solver: the controller's is built (from
// the description file) before its bus is opened, so even a start-up that
// fails on the bus exercises it.
#include <cstdio>
#include <stdexcept>
#include <string>

#include "qel/interfaces/InterfacesThread.hpp"
#include "round_trip.hpp"

int main() {
    qel::KinematicSolver solver;
    const double before = roundTripError(solver);
    for (int attempt = 0; attempt < 3; ++attempt) {
        try {
            qel::m4::InterfacesThread arm(QEL_URDF, "qelnone0", 0);
            std::printf("started on a bus that does not exist\n");
            return 1;
        } catch (const qel::m4::BusOpenError& e) {
            if (std::string(e.what()).find("'qelnone0'") == std::string::npos) {
                std::printf("unexpected failure: %s\n", e.what());
                return 1;
            }
        }
    }
    const double after = roundTripError(solver);
    std::printf("both libraries: round trip %.2e rad before, %.2e rad after the controller\n", before, after);
    return before < 1e-3 && after < 1e-3 ? 0 : 1;
}
