// The outline descriptors on outlines whose values can be worked out by hand.
#include <gtest/gtest.h>

#include <cmath>

#include "analysis.hpp"
#include "outline.hpp"

namespace {

// Positions in the list of descriptors; the four bending scales follow each other.
const int solidity = 0, convexity = 1, bending128 = 2, bending16 = 5, elongation = 6,
          harmonics2to3 = 7, harmonics4to7 = 8, harmonics8to15 = 9;

const double pi = std::acos(-1.0);

LeafOutline square(int side) {
    return {{0, 0}, {side, 0}, {side, side}, {0, side}};
}

// Three a x a squares in an L: the corner square at the origin, one to its right, one below.
LeafOutline lShape(int a) {
    return {{0, 0}, {2 * a, 0}, {2 * a, a}, {a, a}, {a, 2 * a}, {0, 2 * a}};
}

// A leaf-like outline of seven rounded lobes, longer one way than the other.
LeafOutline lobedLeaf() {
    LeafOutline outline;
    for (int k = 0; k < 420; ++k) {
        const double angle = 2.0 * pi * k / 420.0;
        const double radius = 80.0 + 20.0 * std::cos(7.0 * angle) + 15.0 * std::cos(2.0 * angle) +
                              8.0 * std::sin(angle);
        outline.emplace_back(static_cast<int>(std::lround(radius * std::cos(angle))),
                             static_cast<int>(std::lround(radius * std::sin(angle))));
    }
    return outline;
}

}  // namespace

TEST(OutlineDescriptors, TenInTheDocumentedOrderAndTheSquareByHand) {
    const std::vector<std::string> expected = {
        "Solidity",     "Convexity",  "Bending 1/128", "Bending 1/64",  "Bending 1/32",
        "Bending 1/16", "Elongation", "Harmonics 2-3", "Harmonics 4-7", "Harmonics 8-15"};
    EXPECT_EQ(outlineDescriptorNames(), expected);
    EXPECT_EQ(outlineDescriptorCount, expected.size());
    const std::vector<double> d = computeOutlineDescriptors(square(64));
    ASSERT_EQ(d.size(), expected.size());
    // The square by hand.
    EXPECT_DOUBLE_EQ(d[solidity], 1.0);
    EXPECT_DOUBLE_EQ(d[convexity], 1.0);
    // Convex: the turning angles are all positive and add up to 2 pi times the scale.
    for (int b = bending128; b <= bending16; ++b) {
        EXPECT_NEAR(d[b], 1.0, 1e-12) << "bending " << b;
    }
    // A square traced at even speed has Fourier coefficients only at k = 1, -3, 5, -7, 9, ...,
    // each 1 / k^2 of the first; nothing at k = -1, so it is not elongated at all.
    EXPECT_NEAR(d[elongation], 0.0, 1e-12);
    EXPECT_NEAR(d[harmonics2to3], 1.0 / 9, 1e-4);
    EXPECT_NEAR(d[harmonics4to7], std::hypot(1.0 / 25, 1.0 / 49), 1e-4);
    const double band8to15 =
        std::sqrt(std::pow(9, -4) + std::pow(11, -4) + std::pow(13, -4) + std::pow(15, -4));
    EXPECT_NEAR(d[harmonics8to15], band8to15, 1e-4);
}

TEST(OutlineDescriptors, LShapeByHand) {
    const std::vector<double> d = computeOutlineDescriptors(lShape(64));
    // Area 3 a^2; the hull cuts the inner corner off with a triangle of a^2 / 2.
    EXPECT_DOUBLE_EQ(d[solidity], 3.0 / 3.5);
    // Hull: 2a + a + a sqrt 2 + a + 2a around an outline of 8a.
    EXPECT_NEAR(d[convexity], (6.0 + std::sqrt(2.0)) / 8.0, 1e-7);  // lengths in float
    // Five corners turn a quarter one way, the inner one a quarter back: 3 pi in all, for a
    // total turn of 2 pi, at every scale below the arms' width.
    for (int b = bending128; b <= bending16; ++b) {
        EXPECT_NEAR(d[b], 1.5, 1e-9) << "bending " << b;
    }
    EXPECT_GT(d[harmonics2to3], 0.1);
}

TEST(OutlineDescriptors, TurnScaleMirrorAndDirectionChangeNothing) {
    const LeafOutline leaf = lobedLeaf();
    const std::vector<double> original = computeOutlineDescriptors(leaf);
    // A quarter turn at three times the size traced the other way round from the same first
    // point, and a mirror image: both run the other way, yet give the same samples, so the same
    // values up to rounding. Another first point moves every sample a little along the outline.
    LeafOutline turned{{-3 * leaf[0].y, 3 * leaf[0].x}}, mirrored, shifted;
    for (size_t i = leaf.size() - 1; i > 0; --i) {
        turned.push_back({-3 * leaf[i].y, 3 * leaf[i].x});
    }
    for (size_t i = 0; i < leaf.size(); ++i) {
        mirrored.push_back({leaf[i].y, leaf[i].x});
        shifted.push_back(leaf[(i + 37) % leaf.size()]);
    }
    for (const auto& [changed, tolerance] :
         {std::pair{turned, 1e-6}, {mirrored, 1e-6}, {shifted, 0.01}}) {
        const std::vector<double> same = computeOutlineDescriptors(changed);
        for (size_t k = 0; k < original.size(); ++k) {
            EXPECT_NEAR(same[k], original[k], tolerance * original[k]) << k;
        }
    }
}

// The lobed leaf's values, pinned: unlike the shapes above, they move with every scale, band,
// sample count and normalisation. After a deliberate change, print and paste the new values.
TEST(OutlineDescriptors, LobedLeafIsPinned) {
    const std::vector<double> pinned = {0.749871652, 0.767008423, 5.29133767,  4.88093532,
                                        4.46681774,  2.820707,    0.111878076, 0.0841308561,
                                        0.115578473, 0.104183672};
    const std::vector<double> d = computeOutlineDescriptors(lobedLeaf());
    ASSERT_EQ(d.size(), pinned.size());
    for (size_t k = 0; k < d.size(); ++k) {
        EXPECT_NEAR(d[k], pinned[k], 1e-6 * pinned[k]) << outlineDescriptorNames()[k];
    }
}

TEST(OutlineDescriptors, NetworkInputsBeyondTheSixAreDescriptorsThenHistograms) {
    for (const auto& [inputs, descriptors] :
         {std::pair{0, 0u}, {6, 0u}, {8, 2u}, {16, 10u}, {17, 11u}, {112, 106u}, {113, 106u}}) {
        EXPECT_EQ(descriptorsRead(inputs), descriptors) << inputs;
    }
}
