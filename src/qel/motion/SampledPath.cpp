#include "qel/motion/SampledPath.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "qel/motion/MotionPlan.hpp"
#include "qel/motion/MotionPlanner.hpp"

namespace qel::m4 {
namespace {

using motion::CubicMove;
using motion::Joints;
using motion::Sample;

// A knot's velocity is the slope of the samples this many either side: over
// 20 ms at 200 Hz the motors' position quantum (0.4 mrad) makes under
// 0.02 rad/s of it, while a hand's motion hardly bends in that time.
constexpr std::size_t kSlopeReach = 2;

class Reduction {
public:
    Reduction(const std::vector<double>& times, const std::vector<Joints>& q, std::size_t axes)
        : t_(times), q_(q), axes_(axes) {}

    // The samples' slope at k; zero at the ends, where the path starts and
    // ends at rest.
    Joints velocityAt(std::size_t k) const {
        Joints v{};
        if (k == 0 || k + 1 == q_.size()) return v;
        const std::size_t lo = k >= kSlopeReach ? k - kSlopeReach : 0;
        const std::size_t hi = std::min(q_.size() - 1, k + kSlopeReach);
        for (std::size_t i = 0; i < axes_; ++i) v[i] = (q_[hi][i] - q_[lo][i]) / (t_[hi] - t_[lo]);
        return v;
    }

    // The largest distance between the cubic piece from knot a to knot b and
    // the samples between them, computed by the motion layer's own cubic.
    double deviation(std::size_t a, std::size_t b) const {
        CubicMove piece;
        piece.set(Sample{q_[a], velocityAt(a)}, Sample{q_[b], velocityAt(b)}, t_[b] - t_[a]);
        double worst = 0.0;
        Sample at;
        for (std::size_t k = a + 1; k < b; ++k) {
            piece.sample(t_[k] - t_[a], &at);
            for (std::size_t i = 0; i < axes_; ++i) worst = std::max(worst, std::fabs(at.position[i] - q_[k][i]));
        }
        return worst;
    }

    // The furthest knot a piece from `a` may reach within `tolerance`, and
    // that piece's deviation. Doubles the reach while it holds, then
    // bisects: the error of a piece grows with its length, if not strictly,
    // and every piece taken is checked whatever the search assumed.
    std::size_t furthest(std::size_t a, double tolerance, double* piece_deviation) const {
        const std::size_t last = q_.size() - 1;
        std::size_t good = a + 1;  // nothing between: exact
        double good_deviation = 0.0;
        std::size_t bad = last + 1;
        auto probe = [&](std::size_t b) {
            const double d = deviation(a, b);
            if (d <= tolerance) {
                good = b;
                good_deviation = d;
                return true;
            }
            bad = b;
            return false;
        };
        for (std::size_t reach = 2; a + reach <= last && probe(a + reach); reach *= 2) {
        }
        if (bad > last && good < last) probe(last);
        while (bad <= last && bad - good > 1) probe(good + (bad - good) / 2);
        *piece_deviation = good_deviation;
        return good;
    }

private:
    const std::vector<double>& t_;
    const std::vector<Joints>& q_;
    std::size_t axes_;
};

std::vector<double> entries(const Joints& q, std::size_t axes) { return std::vector<double>(q.begin(), q.begin() + axes); }

}  // namespace

ReducedPath reduceSampledPath(const std::vector<double>& times, const std::vector<std::vector<double>>& samples,
                              double tolerance) {
    constexpr const char* kWhat = "reduceSampledPath";
    motion::requirePositive(tolerance, "reduceSampledPath: the tolerance");
    if (samples.size() < 2) throw std::invalid_argument(std::string(kWhat) + ": needs at least two samples");
    if (times.size() != samples.size()) {
        throw std::invalid_argument(std::string(kWhat) + ": " + std::to_string(times.size()) + " times for " +
                                    std::to_string(samples.size()) + " samples");
    }
    std::vector<Joints> q;
    q.reserve(samples.size());
    bool has_gripper = false;
    for (std::size_t k = 0; k < samples.size(); ++k) {
        const std::string name = std::string(kWhat) + ": sample " + std::to_string(k);
        bool gripper = false;
        q.push_back(motion::jointVector(samples[k], name.c_str(), &gripper));
        if (k == 0) has_gripper = gripper;
        if (gripper != has_gripper) throw std::invalid_argument(name + " has another number of axes than the first");
        if (!std::isfinite(times[k]) || (k > 0 && !(times[k] > times[k - 1]))) {
            throw std::invalid_argument(name + ": times must be finite and increase strictly");
        }
    }
    const std::size_t axes = has_gripper ? motion::kAxes : motion::kArmJoints;
    const Reduction reduction(times, q, axes);

    ReducedPath out;
    auto keep = [&](std::size_t k) {
        TrajectoryPoint point;
        point.positions = entries(q[k], axes);
        point.velocities = entries(reduction.velocityAt(k), axes);
        point.time_from_start = times[k] - times[0];
        out.points.push_back(std::move(point));
    };
    keep(0);
    for (std::size_t a = 0; a + 1 < q.size();) {
        double piece_deviation = 0.0;
        a = reduction.furthest(a, tolerance, &piece_deviation);
        out.deviation = std::max(out.deviation, piece_deviation);
        keep(a);
    }
    return out;
}

std::vector<TrajectoryPoint> scaleTrajectoryTime(std::vector<TrajectoryPoint> points, double factor) {
    motion::requirePositive(factor, "scaleTrajectoryTime: the factor");
    for (TrajectoryPoint& point : points) {
        point.time_from_start /= factor;
        for (double& v : point.velocities) v *= factor;
        for (double& a : point.accelerations) a *= factor * factor;
    }
    return points;
}

}  // namespace qel::m4
