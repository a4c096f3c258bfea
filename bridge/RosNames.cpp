#include "bridge/RosNames.hpp"

#include <cctype>
#include <cstdlib>
#include <stdexcept>

namespace qel::ros2 {
namespace {

// Domain ids whose ports stay below 65536 with the standard port mapping.
constexpr int kLargestDomain = 232;

int checkedDomain(long value, const std::string& from) {
    if (value < 0 || value > kLargestDomain) {
        throw std::invalid_argument(from + " must be a domain from 0 to 232, got " + std::to_string(value));
    }
    return static_cast<int>(value);
}

}  // namespace

std::string normaliseNamespace(const std::string& ns) {
    std::size_t begin = 0;
    std::size_t end = ns.size();
    while (begin < end && ns[begin] == '/') ++begin;
    while (end > begin && ns[end - 1] == '/') --end;
    const std::string name = ns.substr(begin, end - begin);
    bool part_start = true;
    for (const char c : name) {
        if (c == '/') {
            if (part_start) throw std::invalid_argument("namespace '" + ns + "' has an empty part");
            part_start = true;
            continue;
        }
        const bool letter = std::isalpha(static_cast<unsigned char>(c)) != 0;
        const bool digit = std::isdigit(static_cast<unsigned char>(c)) != 0;
        if (!letter && !digit && c != '_') {
            throw std::invalid_argument("namespace '" + ns + "' may hold only letters, digits, '_' and '/'");
        }
        if (part_start && digit) {
            throw std::invalid_argument("namespace '" + ns + "' has a part that starts with a digit");
        }
        part_start = false;
    }
    return name;
}

std::string topicName(const std::string& ns, const std::string& name) {
    return ns.empty() ? "rt/" + name : "rt/" + ns + "/" + name;
}

int chooseDomain(std::optional<int> option) {
    if (option) return checkedDomain(*option, "--domain");
    const char* env = std::getenv("ROS_DOMAIN_ID");
    if (env == nullptr || *env == '\0') return 0;
    char* end = nullptr;
    const long value = std::strtol(env, &end, 10);
    if (*end != '\0') {
        throw std::invalid_argument(std::string("ROS_DOMAIN_ID must be a number, got '") + env + "'");
    }
    return checkedDomain(value, "ROS_DOMAIN_ID");
}

}  // namespace qel::ros2
