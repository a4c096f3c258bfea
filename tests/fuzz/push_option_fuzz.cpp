// Arbitrary text as qel-virtual-arm's --push value: either refused with a
// message or a push the virtual arm accepts, never anything else.
#include <cmath>
#include <string>

#include "apps/CommandLine.hpp"
#include "apps/PushOption.hpp"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const qel::tools::PushOption push = qel::tools::parsePushOption(text);
        QEL_FUZZ_CHECK(push.joint >= 1 && push.joint <= 6);
        QEL_FUZZ_CHECK(std::isfinite(push.torque) && std::fabs(push.torque) <= 1000.0);
        QEL_FUZZ_CHECK(std::isfinite(push.start_s) && push.start_s >= 0.0 && push.start_s <= 1e6);
        QEL_FUZZ_CHECK(std::isfinite(push.duration_s) && push.duration_s > 0.0 && push.duration_s <= 1e6);
    } catch (const qel::tools::UsageError& error) {
        QEL_FUZZ_CHECK(!error.message.empty());
    }
    return 0;
}
