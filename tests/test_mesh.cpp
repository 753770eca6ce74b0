// Stitch meshes checked against values computed here from the lens tables,
// plus the seam profile, the seam warp and the grid operations.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "lens/mesh.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Neville's scheme over the five table points the builders use; an
// evaluation independent of the code under test.
double Neville(double theta, const double* a, const double* h) {
    int k = 0;
    while (k + 1 < kLensTableSize && a[k + 1] <= theta) ++k;
    const int s = k <= 1 ? 0 : (k > 48 ? 46 : k - 2);
    double p[5];
    for (int i = 0; i < 5; ++i) p[i] = h[s + i];
    for (int m = 1; m < 5; ++m) {
        for (int i = 0; i + m < 5; ++i) {
            const double xi = a[s + i], xj = a[s + i + m];
            p[i] = ((theta - xj) * p[i] + (xi - theta) * p[i + 1]) / (xi - xj);
        }
    }
    return p[0];
}

std::vector<double> Angles(double stepDeg) {
    std::vector<double> a(kLensTableSize);
    for (int k = 0; k < kLensTableSize; ++k) a[k] = k * stepDeg * kPi / 180.0;
    return a;
}

std::vector<double> Heights(int model) {
    return std::vector<double>(DualLensModel(model)->height,
                               DualLensModel(model)->height + kLensTableSize);
}

float X(const std::vector<float>& m, int row, int col) {
    return m[2 * (row * 181 + col)];
}
float Y(const std::vector<float>& m, int row, int col) {
    return m[2 * (row * 181 + col) + 1];
}

}  // namespace

TEST(LensTables, AnglesAreStoredToEightDecimals) {
    EXPECT_DOUBLE_EQ(DualLensModel(0)->angle[1], 0.03316126);
    EXPECT_DOUBLE_EQ(DualLensModel(1)->angle[1], 0.03839724);
    EXPECT_DOUBLE_EQ(DualLensModel(2)->angle[50], 1.91986218);
    EXPECT_FLOAT_EQ(SingleLensAngles()[1], 0.03316126f);
    EXPECT_DOUBLE_EQ(DualLensModel(0)->height[50], 1.45761912);
    EXPECT_DOUBLE_EQ(DualLensModel(1)->height[26], 1.00982976);
    EXPECT_DOUBLE_EQ(DualLensModel(2)->height[49], 1.43080701);
    EXPECT_EQ(DualLensModel(3), nullptr);
    EXPECT_EQ(DualLensModel(-1), nullptr);
}

TEST(LensTables, ImageHeightInterpolatesAndExtrapolates) {
    const LensModel& m1 = *DualLensModel(1);
    EXPECT_EQ(LensImageHeight(-0.1, m1, 2.0), 0.0);
    EXPECT_EQ(LensImageHeight(-0.1f, SingleLensAngles(), SingleLensHeights(), 2.0f), 0.0f);
    const auto a = Angles(2.2);
    const auto h = Heights(1);
    for (double deg = 0; deg <= 130; deg += 0.7) {
        const double t = deg * kPi / 180.0;
        EXPECT_NEAR(LensImageHeight(t, m1, 3.0), 3.0 * Neville(t, a.data(), h.data()), 1e-6) << deg;
    }
    // Through the table's own points.
    for (int k = 0; k < kLensTableSize; ++k)
        EXPECT_NEAR(LensImageHeight(m1.angle[k], m1, 1.0), m1.height[k], 1e-9);
}

TEST(SingleLensMesh, RingsAroundTheCentreFromTheTopClockwise) {
    std::vector<float> m(kStitchMeshFloats, -5.0f);
    BuildSingleLensMesh(1920, 1080, 180, 48, 960, 540, 192.0f, 530.0f, m.data());
    const auto a = Angles(1.9);
    const auto h = Heights(0);
    const double scale = 530.0 / h[50];
    for (int j = 0; j <= 180; ++j) {
        EXPECT_EQ(X(m, 0, j), 960.0f);
        EXPECT_EQ(Y(m, 0, j), 540.0f);
    }
    for (int r = 1; r <= 48; ++r) {
        const double rho = scale * Neville(r * 2.0 * kPi / 180.0, a.data(), h.data());
        for (int j = 0; j < 180; j += 7) {
            const double phi = (270.0 - 2.0 * j) * kPi / 180.0;
            const double x = std::min(1919.0, std::max(0.0, 960 + rho * std::cos(phi)));
            const double y = std::min(1079.0, std::max(0.0, 540 + rho * std::sin(phi)));
            ASSERT_NEAR(X(m, r, j), x, 0.02) << r << "," << j;
            ASSERT_NEAR(Y(m, r, j), y, 0.02) << r << "," << j;
        }
        EXPECT_EQ(X(m, r, 180), X(m, r, 0));  // exact copy
        EXPECT_EQ(Y(m, r, 180), Y(m, r, 0));
        EXPECT_NEAR(X(m, r, 0), 960.0f, 1e-3);  // column 0 straight above the centre
        EXPECT_LT(Y(m, r, 0), 540.0f);
    }
    // 96 degrees lies past the 95-degree rim, and clamps at the frame's top.
    EXPECT_GT(scale * Neville(96 * kPi / 180, a.data(), h.data()), 530.0);
    EXPECT_LT(Y(m, 48, 0), 10.0f);
    EXPECT_GT(Y(m, 48, 0), 0.0f);
    // Rows past the last ring keep what the buffer held.
    EXPECT_EQ(m[2 * 49 * 181], -5.0f);
    EXPECT_EQ(m[kStitchMeshFloats - 1], -5.0f);
}

TEST(SingleLensMesh, ClampsToTheFrameAndIgnoresGridsThatDoNotFit) {
    std::vector<float> m(kStitchMeshFloats, -5.0f);
    BuildSingleLensMesh(640, 480, 180, 48, 10, 470, 192.0f, 530.0f, m.data());
    for (int i = 0; i < 49 * 181; ++i) {
        ASSERT_GE(m[2 * i], 0.0f);
        ASSERT_LE(m[2 * i], 639.0f);
        ASSERT_GE(m[2 * i + 1], 0.0f);
        ASSERT_LE(m[2 * i + 1], 479.0f);
    }
    std::vector<float> n(kStitchMeshFloats, -5.0f);
    BuildSingleLensMesh(640, 480, 180, 52, 10, 470, 192.0f, 530.0f, n.data());  // 53 x 181 pairs
    EXPECT_EQ(n[0], -5.0f);
}

TEST(SeamProfile, RisesHoldsAndFallsAtTheSeam) {
    float v[181];
    BuildSeamProfile(1.0f, v);
    for (int j = 0; j <= 99; ++j) EXPECT_FLOAT_EQ(v[j], 1.0f) << j;
    EXPECT_GT(v[100], 1.0f);
    for (int j = 129; j <= 145; ++j) EXPECT_NEAR(v[j], 1.013f, 1e-4) << j;
    for (int j = 101; j <= 129; ++j) EXPECT_GE(v[j], v[j - 1]);
    for (int j = 146; j <= 175; ++j) EXPECT_LE(v[j], v[j - 1]);
    for (int j = 175; j <= 180; ++j) EXPECT_FLOAT_EQ(v[j], 1.0f) << j;
    BuildSeamProfile(0.9f, v);
    EXPECT_FLOAT_EQ(v[0], 0.9f);
    EXPECT_NEAR(v[137], 0.913f, 1e-4);
}

namespace {

DualLensRecord PlainRecord() {
    DualLensRecord r{};
    r.fov = 200.0f;  // half the field of view falls on grid ring 50
    r.model = 2;
    r.cx1 = 480, r.cy1 = 480, r.r1 = 470;
    r.cx2 = 470, r.cy2 = 490, r.r2 = 460;
    r.radialBase = 1.0f;
    r.n = 0;
    return r;
}

}  // namespace

TEST(DualLensMesh, BothLensesAgainstTheLensModel) {
    const DualLensRecord rec = PlainRecord();
    std::vector<float> a(kStitchMeshFloats), b(kStitchMeshFloats);
    BuildDualLensMesh(rec, 3840, 1920, 181, 52, a.data(), b.data());
    const auto ang = Angles(2.2);
    const auto h = Heights(2);
    const double rim = Neville(100 * kPi / 180, ang.data(), h.data());
    // Scaled to 3840 wide: centres double, radii double.
    const double cx1 = 960, cy1 = 960, r1 = 940, cx2 = 940, cy2 = 980, r2 = 920;
    float profile[181];
    BuildSeamProfile(1.0f, profile);
    for (int r = 0; r < 52; ++r) {
        for (int j = 0; j <= 180; j += 5) {
            const double v = profile[j];
            const double rhoA = r1 / rim * Neville(r * 2 * kPi / 180, ang.data(), h.data()) * v;
            const double phiA = -j * 2 * kPi / 180;
            ASSERT_NEAR(X(a, r, j), std::min(1919.0, std::max(0.0, cx1 + rhoA * std::cos(phiA))),
                        0.02);
            ASSERT_NEAR(Y(a, r, j), std::min(1919.0, std::max(0.0, cy1 + rhoA * std::sin(phiA))),
                        0.02);
            const double thetaB = (102 - 2 * r) * kPi / 180;
            const double rhoB = r2 / rim * Neville(thetaB, ang.data(), h.data()) * v;
            const double phiB = -kPi + j * 2 * kPi / 180;
            ASSERT_NEAR(X(b, r, j),
                        1920 + std::min(1919.0, std::max(0.0, cx2 + rhoB * std::cos(phiB))), 0.02);
            ASSERT_NEAR(Y(b, r, j), std::min(1919.0, std::max(0.0, cy2 + rhoB * std::sin(phiB))),
                        0.02);
        }
    }
    // The centre rows, the rim at half the field of view, and the last column.
    for (int j = 0; j <= 180; ++j) {
        EXPECT_EQ(X(a, 0, j), 960.0f);
        EXPECT_EQ(Y(a, 0, j), 960.0f);
        EXPECT_NEAR(X(b, 51, j), 1920 + 940.0f, 1e-3);
        EXPECT_NEAR(Y(b, 51, j), 980.0f, 1e-3);
        EXPECT_NEAR(X(a, 0, j), X(a, 0, 180), 1e-3);
    }
    for (int j = 0; j < 100; ++j) {
        EXPECT_NEAR(std::hypot(X(a, 50, j) - cx1, Y(a, 50, j) - cy1), r1, 0.01);
    }
    for (int r = 0; r < 52; ++r) {
        EXPECT_NEAR(X(a, r, 180), X(a, r, 0), 1e-3);
        EXPECT_NEAR(Y(b, r, 180), Y(b, r, 0), 1e-3);
    }
}

TEST(DualLensMesh, RefusesUnknownModelsAndTooManyLines) {
    DualLensRecord rec = PlainRecord();
    std::vector<float> a(kStitchMeshFloats, -3.0f), b(kStitchMeshFloats, -3.0f);
    rec.model = 3;
    BuildDualLensMesh(rec, 1920, 960, 181, 52, a.data(), b.data());
    rec.model = 0;
    rec.n = 51;
    BuildDualLensMesh(rec, 1920, 960, 181, 52, a.data(), b.data());
    EXPECT_EQ(a[0], -3.0f);
    EXPECT_EQ(b[kStitchMeshFloats - 1], -3.0f);
}

namespace {

// Four control lines near the seam, ordered by azimuth; the second lens saw
// each a little to the right.
DualLensRecord SeamRecord() {
    DualLensRecord r = PlainRecord();
    r.n = 4;
    for (int i = 0; i < 4; ++i) {
        const float x = 240.0f + 480.0f * i;
        const float l1[4] = {x, 420.0f, x + 10, 540.0f};
        const float l2[4] = {x + 12, 425.0f, x + 20, 545.0f};
        for (int k = 0; k < 4; ++k) {
            r.lines1[i][k] = l1[k];
            r.lines2[i][k] = l2[k];
        }
    }
    return r;
}

}  // namespace

TEST(SeamWarp, MapsEachFirstListLineOntoItsSecondListLine) {
    const DualLensRecord rec = SeamRecord();
    SeamWarp w;
    SetUpSeamWarp(rec, &w);
    ASSERT_EQ(w.n, 4);
    auto az = [](float x) { return x * kPi / 960 - kPi; };
    auto polar = [](float y) { return kPi - y * kPi / 960; };
    for (int i = 1; i < 3; ++i) {  // inner lines: no wrap adjustment
        const float* l1 = rec.lines1[i];
        const float* l2 = rec.lines2[i];
        const double slope1 = (az(l1[2]) - az(l1[0])) / (polar(l1[3]) - polar(l1[1]));
        const double slope2 = (az(l2[2]) - az(l2[0])) / (polar(l2[3]) - polar(l2[1]));
        for (double theta : {1.4, 1.55, 1.7}) {
            const double phi = az(l1[0]) + (theta - polar(l1[1])) * slope1;
            float t2, p2;
            ASSERT_TRUE(
                ApplySeamWarp(w, static_cast<float>(theta), static_cast<float>(phi), &t2, &p2));
            const double h = theta * polar(l2[1]) / polar(l1[3]);
            const double g = az(l2[0]) + (h - polar(l2[1])) * slope2;
            EXPECT_NEAR(t2, h, 1e-4);
            EXPECT_NEAR(p2, g, 1e-4);
        }
    }
    // Between two lines the azimuth moves in proportion.
    float t2, p2, ta, pa, tb, pb;
    const float theta = 1.5f;
    const float e = static_cast<float>(theta * w.slope1[1] + w.intercept1[1]);
    const float f = static_cast<float>(theta * w.slope1[2] + w.intercept1[2]);
    ApplySeamWarp(w, theta, e, &ta, &pa);
    ApplySeamWarp(w, theta, f, &tb, &pb);
    ApplySeamWarp(w, theta, 0.25f * e + 0.75f * f, &t2, &p2);
    EXPECT_NEAR(p2, 0.25f * pa + 0.75f * pb, 1e-4);
    // Across the wrap, the result stays within one turn.
    ASSERT_TRUE(ApplySeamWarp(w, theta, 3.1f, &t2, &p2));
    EXPECT_LT(p2, kPi);
    EXPECT_GE(p2, -kPi - 1e-3);
}

TEST(SeamWarp, DegenerateRecordsLeaveDirectionsUnwarped) {
    DualLensRecord rec = SeamRecord();
    rec.n = 1;
    SeamWarp w;
    SetUpSeamWarp(rec, &w);
    float t, p;
    EXPECT_FALSE(ApplySeamWarp(w, 1.5f, 0.3f, &t, &p));
    EXPECT_EQ(t, 1.5f);
    EXPECT_EQ(p, 0.3f);
    // A line whose ends share one polar angle.
    rec = SeamRecord();
    rec.lines1[2][3] = rec.lines1[2][1];
    SetUpSeamWarp(rec, &w);
    const float phi = static_cast<float>(1.5 * w.slope1[1] + w.intercept1[1]) + 0.01f;
    EXPECT_FALSE(ApplySeamWarp(w, 1.5f, phi, &t, &p));
    EXPECT_EQ(p, phi);
    // With the line repaired the same direction is warped, and the mesh differs.
    rec = SeamRecord();
    SetUpSeamWarp(rec, &w);
    EXPECT_TRUE(ApplySeamWarp(w, 1.5f, phi, &t, &p));
    std::vector<float> a(kStitchMeshFloats), b0(kStitchMeshFloats), b4(kStitchMeshFloats);
    DualLensRecord plain = PlainRecord();
    BuildDualLensMesh(plain, 1920, 960, 181, 52, a.data(), b0.data());
    BuildDualLensMesh(rec, 1920, 960, 181, 52, a.data(), b4.data());
    EXPECT_NE(b0, b4);
}

TEST(SeamWarp, OrderRepairSeparatesCrossedIntercepts) {
    DualLensRecord rec = SeamRecord();
    // Swap two vertical lines so their intercepts are out of order.
    for (int k = 0; k < 4; ++k) std::swap(rec.lines1[1][k], rec.lines1[2][k]);
    rec.lines1[1][2] = rec.lines1[1][0];
    rec.lines1[2][2] = rec.lines1[2][0];
    SeamWarp w;
    SetUpSeamWarp(rec, &w);
    const double a1 = rec.lines1[1][0] * kPi / 960 - kPi;  // vertical: intercept = azimuth
    const double a2 = rec.lines1[2][0] * kPi / 960 - kPi;
    const double mean = (a1 + a2) / 2;
    EXPECT_NEAR(w.intercept1[1], mean - 0.08, 1e-5);
    EXPECT_NEAR(w.intercept1[2], mean + 0.08, 1e-5);
    // Each turned line still passes through its first point.
    const double p0 = kPi - rec.lines1[1][1] * kPi / 960;
    EXPECT_NEAR(w.slope1[1] * p0 + w.intercept1[1], a1, 1e-5);
}

namespace {

std::vector<float> NumberedGrid(int rows) {
    std::vector<float> g(2 * 181 * rows);
    for (int r = 0; r < rows; ++r)
        for (int j = 0; j < 181; ++j) {
            g[2 * (r * 181 + j)] = static_cast<float>(j % 180);  // column 180 repeats 0
            g[2 * (r * 181 + j) + 1] = static_cast<float>(r);
        }
    return g;
}

}  // namespace

TEST(GridOperations, ShiftRotatesColumnsKeepingTheRepeatedColumn) {
    const auto src = NumberedGrid(49);
    std::vector<float> dst(src.size());
    ShiftMeshColumns(src.data(), dst.data(), 181, 49, 181);
    EXPECT_EQ(dst, src);
    ShiftMeshColumns(src.data(), dst.data(), 181, 49, -1);
    EXPECT_EQ(dst[0], 179.0f);  // the last distinct column comes first
    EXPECT_EQ(dst[2], 0.0f);
    EXPECT_EQ(dst[2 * 180], 179.0f);
    for (int s : {1, 7, 90, 179, -7, -90, 1000, -1000}) {
        ShiftMeshColumns(src.data(), dst.data(), 181, 49, s);
        const float expectFirst = static_cast<float>(((s % 181) + 180) % 180);
        for (int r = 0; r < 49; r += 12) {
            EXPECT_EQ(dst[2 * r * 181], expectFirst) << s;
            EXPECT_EQ(dst[2 * (r * 181 + 180)], dst[2 * r * 181]) << s;
            EXPECT_EQ(dst[2 * (r * 181) + 1], static_cast<float>(r));
        }
        // Shifting back restores the grid.
        std::vector<float> back(src.size());
        ShiftMeshColumns(dst.data(), back.data(), 181, 49, -(s % 181));
        EXPECT_EQ(back, src) << s;
    }
    // In place.
    std::vector<float> inPlace = src;
    ShiftMeshColumns(inPlace.data(), inPlace.data(), 181, 49, 5);
    ShiftMeshColumns(src.data(), dst.data(), 181, 49, 5);
    EXPECT_EQ(inPlace, dst);
}

TEST(GridOperations, MirrorTurnsByHalfATurn) {
    const auto src = NumberedGrid(49);
    std::vector<float> once(src.size()), twice(src.size());
    MirrorMesh(src.data(), 181, 49, once.data());
    for (int r = 0; r < 49; r += 8)
        for (int j = 0; j < 181; j += 9) {
            EXPECT_EQ(once[2 * (r * 181 + j)], src[2 * ((48 - r) * 181 + (180 - j))]);
            EXPECT_EQ(once[2 * (r * 181 + j) + 1], static_cast<float>(48 - r));
        }
    MirrorMesh(once.data(), 181, 49, twice.data());
    EXPECT_EQ(twice, src);
    std::vector<float> inPlace = src;
    MirrorMesh(inPlace.data(), 181, 49, inPlace.data());
    EXPECT_EQ(inPlace, once);
}
