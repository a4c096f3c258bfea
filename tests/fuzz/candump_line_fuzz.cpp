// Arbitrary lines through qel-decode's reader of candump logs: a line is
// either refused with a reason or read into a frame whose own output line
// reads back to the same time, interface and frame.
#include <string>

#include "apps/FrameText.hpp"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    qel::tools::CandumpLine parsed;
    std::string error;
    if (!qel::tools::parseCandumpLine(line, &parsed, &error)) {
        QEL_FUZZ_CHECK(!error.empty());
        return 0;
    }
    QEL_FUZZ_CHECK(parsed.time_us >= 0);
    QEL_FUZZ_CHECK(parsed.frame.can_dlc <= 8);
    if (parsed.fd) return 0;  // written back without its data
    const std::string again = qel::tools::frameLine(parsed.time_us, parsed.interface, parsed.frame);
    qel::tools::CandumpLine reread;
    QEL_FUZZ_CHECK(qel::tools::parseCandumpLine(again, &reread, &error));
    QEL_FUZZ_CHECK(reread.time_us == parsed.time_us);
    QEL_FUZZ_CHECK(reread.interface == parsed.interface);
    QEL_FUZZ_CHECK(reread.frame.can_id == parsed.frame.can_id);
    QEL_FUZZ_CHECK(reread.frame.can_dlc == parsed.frame.can_dlc);
    for (int i = 0; i < parsed.frame.can_dlc && !(parsed.frame.can_id & qel::tools::kRemoteFlag); ++i) {
        QEL_FUZZ_CHECK(reread.frame.data[i] == parsed.frame.data[i]);
    }
    return 0;
}
