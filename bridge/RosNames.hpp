#pragma once

// How ROS 2 names map onto DDS: topic names, namespaces and the domain.

#include <optional>
#include <string>

namespace qel::ros2 {

// `ns` as a ROS namespace without its leading and trailing slashes ("" for
// none, "left", "cell/left"). Throws std::invalid_argument, saying why, for a
// name ROS would refuse: characters other than letters, digits, '_' and '/',
// a part that starts with a digit, or an empty part ("a//b").
std::string normaliseNamespace(const std::string& ns);

// The DDS topic of ROS topic `name` in namespace `ns` (normalised):
// "rt/joint_states", "rt/left/joint_states".
std::string topicName(const std::string& ns, const std::string& name);

// The DDS domain: `option` when given, else the value of the environment
// variable ROS_DOMAIN_ID when set and not empty, else 0. Throws
// std::invalid_argument for a domain outside 0 to 232 (the largest the
// standard port mapping allows) or a ROS_DOMAIN_ID that is not a number.
int chooseDomain(std::optional<int> option);

}  // namespace qel::ros2
