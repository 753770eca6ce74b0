// The renderer's matrices: projection values, the frustum's reports, both
// rotation branches, the viewing matrix and the order of products.
#include <gtest/gtest.h>

#include <cmath>

#include "render/matrix.h"

namespace {

// Expects m * (x, y, z, 1) = (ex, ey, ez, 1).
void ExpectMaps(const float* m, float x, float y, float z, float ex, float ey, float ez) {
    const float want[4] = {ex, ey, ez, 1};
    for (int r = 0; r < 4; ++r)
        EXPECT_NEAR(m[r] * x + m[4 + r] * y + m[8 + r] * z + m[12 + r], want[r], 1e-5) << r;
}

}  // namespace

TEST(MatrixMath, PerspectiveOnIdentityIsTheFrustum) {
    float m[16];
    IdentityM(m);
    PerspectiveM(m, 90, 1, 0.1f, 100);
    EXPECT_NEAR(m[0], 1.0, 1e-6);
    EXPECT_NEAR(m[5], 1.0, 1e-6);
    EXPECT_NEAR(m[10], -100.1 / 99.9, 1e-6);
    EXPECT_NEAR(m[14], -20.0 / 99.9, 1e-6);
    EXPECT_EQ(m[11], -1.0f);
    for (int i : {1, 2, 3, 4, 6, 7, 8, 9, 12, 13, 15}) EXPECT_EQ(m[i], 0.0f) << i;
}

TEST(MatrixMath, FrustumReportsEachFailedCheckAndStillComputes) {
    float m[16];
    testing::internal::CaptureStdout();
    FrustumM(m, -1, 1, -1, 1, 0.1f, 100);
    FrustumM(m, 1, 1, -1, 1, 0.1f, 100);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "FrustumM:left == right");
    EXPECT_FALSE(std::isfinite(m[0]));
    EXPECT_FLOAT_EQ(m[5], 0.1f);

    testing::internal::CaptureStdout();
    FrustumM(m, 0, 0, 2, 2, -1, -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "FrustumM:left == rightFrustumM:top == bottomFrustumM:near == far"
              "FrustumM:near <= 0.0fFrustumM:far <= 0.0f");
}

TEST(MatrixMath, RotationsTurnCounterClockwiseOnBothBranches) {
    // A scaled axis takes the general branch and must match the exact one.
    const float axes[3][6] = {{2, 0, 0, 1, 0, 0}, {0, 3, 0, 0, 1, 0}, {0, 0, 0.25f, 0, 0, 1}};
    for (const auto& a : axes) {
        float general[16], exact[16];
        for (int i = 0; i < 16; ++i) general[i] = exact[i] = 7.0f;
        RotateM(general, -75, a[0], a[1], a[2]);
        RotateM(exact, -75, a[3], a[4], a[5]);
        for (int i = 0; i < 16; ++i) EXPECT_NEAR(general[i], exact[i], 1e-6) << i;
        EXPECT_EQ(exact[12], 0.0f);
        EXPECT_EQ(exact[15], 1.0f);
    }
    float m[16];
    RotateM(m, 90, 0, 0, 1);
    ExpectMaps(m, 1, 0, 0, 0, 1, 0);
    RotateM(m, 90, 1, 0, 0);
    ExpectMaps(m, 0, 1, 0, 0, 0, 1);
    RotateM(m, 90, 0, 1, 0);
    ExpectMaps(m, 0, 0, 1, 1, 0, 0);
    RotateM(m, 120, 1, 1, 1);  // cycles the axes
    ExpectMaps(m, 1, 0, 0, 0, 1, 0);
}

TEST(MatrixMath, LookAtPutsTheCentreAheadWithPlusXOnTheLeft) {
    float m[16];
    IdentityM(m);
    LookAtM(m, 0, 0, -1.3f, 0, 0, 0, 0, 1, 0);
    EXPECT_FLOAT_EQ(m[0], -1.0f);  // s = (-1, 0, 0)
    ExpectMaps(m, 0, 0, -1.3f, 0, 0, 0);
    ExpectMaps(m, 0, 0, 0, 0, 0, -1.3f);
    ExpectMaps(m, 1, 0, 0, -1, 0, -1.3f);
    ExpectMaps(m, 0, 1, 0, 0, 1, -1.3f);

    // From above and behind, up tilts toward the view direction.
    IdentityM(m);
    LookAtM(m, 0, 1, -1, 0, 0, 0, 0, 1, 0);
    const float h = std::sqrt(0.5f);
    ExpectMaps(m, 0, h, h, 0, 1, -2 * h);
}

TEST(MatrixMath, ProductsApplyTheRightFactorFirst) {
    float t[16], r[16], tr[16], rt[16];
    IdentityM(t);
    TranslateM(t, 5, 0, 0);
    RotateM(r, 90, 0, 0, 1);
    MultiplyMM(tr, t, r);
    MultiplyMM(rt, r, t);
    ExpectMaps(tr, 1, 0, 0, 5, 1, 0);  // rotated, then moved
    ExpectMaps(rt, 1, 0, 0, 0, 6, 0);  // moved, then rotated

    // TranslateM and LookAtM post-multiply into their target.
    TranslateM(r, 1, 0, 0);
    ExpectMaps(r, 0, 0, 0, 0, 1, 0);
    TranslateM(t, -5, 0, 2);
    LookAtM(t, 0, 0, -1.3f, 0, 0, 0, 0, 1, 0);
    ExpectMaps(t, 0, 0, 0, 0, 0, 0.7f);
}
