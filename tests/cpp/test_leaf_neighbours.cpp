// Neighbour distances a leaf at a time against knn_into, point by point and bit for bit:
// the values must not depend on which of several equidistant points was counted.
#include "kdtree_fixtures.hpp"
#include "leaf_neighbours.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarvo {
namespace {

using namespace tree_fixtures;

// Leaves run() takes, and for each of its points whether the distances equal knn_into's.
struct Comparison {
    std::size_t leaves_served = 0;
    std::size_t leaves_refused = 0;
    std::size_t points_checked = 0;
    std::size_t mismatches = 0;
};

Comparison compare_with_knn(const PointCloud& cloud, std::size_t k) {
    const KdTree tree = KdTree::build(cloud);
    LeafNeighbourDistances leaf_distances(tree, k);
    KnnBuffer buffer(k);
    Comparison result;
    const std::span<const KdNode> nodes = tree.nodes();
    for (std::uint32_t node = 0; node < nodes.size(); ++node) {
        const KdNode& leaf = nodes[node];
        if (leaf.kind != LEAF) continue;
        if (!leaf_distances.serves(leaf)) {
            ++result.leaves_refused;
            continue;
        }
        ++result.leaves_served;
        leaf_distances.run(node);
        for (std::uint32_t j = 0; j < leaf.end - leaf.start; ++j) {
            knn_into(tree, tree.point(leaf.start + j), buffer);
            const std::span<const double> got = leaf_distances.distances(j);
            const std::span<const double> want = buffer.distances();
            ++result.points_checked;
            const bool same = got.size() == want.size() &&
                              std::equal(got.begin(), got.end(), want.begin(), same_bits);
            result.mismatches += !same;
        }
    }
    return result;
}

struct CloudCase {
    std::string name;
    PointCloud cloud;
};

class LeafNeighbours : public ::testing::TestWithParam<std::tuple<CloudCase, std::size_t>> {};

TEST_P(LeafNeighbours, MatchKnnIntoForEveryPoint) {
    const auto& [cloud_case, k] = GetParam();
    const Comparison c = compare_with_knn(cloud_case.cloud, k);
    EXPECT_GT(c.leaves_served, 0u);
    EXPECT_EQ(c.mismatches, 0u) << "of " << c.points_checked;
    EXPECT_EQ(c.leaves_refused > 0, cloud_case.name.starts_with("stacked"));
}

std::vector<CloudCase> cloud_cases() {
    // Leaves of coinciding points among ordinary ones: they are refused, but the points
    // around it scan it.
    PointCloud stacked = uniform_cloud(300, 21);
    for (int i = 0; i < 400; ++i) stacked.push_back({0.5, 0.5, 0.5});
    // The root's right half is one leaf of 100 coinciding points.
    PointCloud apart = uniform_cloud(100, 22);
    for (int i = 0; i < 100; ++i) apart.push_back({10.0, 0.0, 0.0});
    return {
        {"uniform", uniform_cloud(3000, 1)},
        {"surface", wavy_cloud(5000, 2)},
        {"grid", grid_cloud(12, 0.1)},  // ties at every k-th distance
        {"duplicates", duplicated_cloud(2000, 3)},
        {"flat", flat_cloud(1500, 4)},
        {"tiny", uniform_cloud(5, 5)},  // fewer points than most k
        {"stacked", stacked},
        {"stacked_apart", apart},
        {"far_from_origin", uniform_cloud(2000, 6, 1e-3, 1e6)},
    };
}

INSTANTIATE_TEST_SUITE_P(Clouds, LeafNeighbours,
                         ::testing::Combine(::testing::ValuesIn(cloud_cases()),
                                            ::testing::Values(std::size_t{1}, std::size_t{2}, std::size_t{7},
                                                              LeafNeighbourDistances::MAX_NEIGHBOURS)),
                         [](const auto& info) {
                             return std::get<0>(info.param).name + "_k" + std::to_string(std::get<1>(info.param));
                         });

TEST(LeafNeighbourServes, RefusesOversizedLeavesOverflowingTreesAndManyNeighbours) {
    PointCloud stacked(40, Point3{1.0, 2.0, 3.0});
    const KdTree stacked_tree = KdTree::build(stacked);
    ASSERT_EQ(stacked_tree.nodes().size(), 1u);  // coincident points: one leaf of 40
    EXPECT_FALSE(LeafNeighbourDistances(stacked_tree, 7).serves(stacked_tree.nodes()[0]));

    // Squared distances across this cloud overflow; its leaves still hold 16 or fewer.
    const KdTree huge = KdTree::build(uniform_cloud(200, 8, 1e300));
    const LeafNeighbourDistances huge_distances(huge, 7);
    for (const KdNode& node : huge.nodes()) {
        if (node.kind == LEAF) {
            EXPECT_FALSE(huge_distances.serves(node));
        }
    }

    const KdTree ordinary = KdTree::build(uniform_cloud(200, 9));
    const LeafNeighbourDistances few(ordinary, LeafNeighbourDistances::MAX_NEIGHBOURS);
    const LeafNeighbourDistances many(ordinary, LeafNeighbourDistances::MAX_NEIGHBOURS + 1);
    for (const KdNode& node : ordinary.nodes()) {
        if (node.kind == LEAF) {
            EXPECT_TRUE(few.serves(node));
            EXPECT_FALSE(many.serves(node));
        }
    }
}

}  // namespace
}  // namespace tarvo
