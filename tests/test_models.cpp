// Projection models: mesh layout of every build, the layer's column shifts,
// the clamps and resets, and the field-of-view table of the slots.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "lens/mesh.h"
#include "render/models.h"

namespace {

constexpr float kW = 400, kH = 200;

// Pair (row, col) holds (col % 180 + 200 * lens, row): column 180 repeats
// column 0 as in a real table, and the lenses are told apart.
std::vector<float> Table(int lens) {
    std::vector<float> t(kStitchMeshFloats);
    for (int p = 0; p < kStitchMeshPairs; ++p) {
        t[2 * p] = static_cast<float>(p % kMeshColumns % 180 + 200 * lens);
        t[2 * p + 1] = static_cast<float>(p / kMeshColumns);
    }
    return t;
}

const float* At(const CShapeModel& m, const float* a, int n, int row, int col) {
    return a + n * (static_cast<size_t>(row) * (m.m_nCols + 1) + col);
}

void ExpectPos(const CShapeModel& m, int row, int col, float x, float y, float z) {
    const float want[3] = {x, y, z};
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(At(m, m.m_pVertices, 3, row, col)[i], want[i], 1e-6) << row << "," << col;
}

// Vertex (row, col) carries table pair (tableRow, tableCol) of lens, or
// nothing (zeros) when lens < 0.
void ExpectUv(const CShapeModel& m, const float* uv, int row, int col, int lens, int tableRow = 0,
              int tableCol = 0, float w = kW, float h = kH) {
    const float* p = At(m, uv, 2, row, col);
    EXPECT_FLOAT_EQ(p[0], lens < 0 ? 0 : (tableCol % 180 + 200 * lens) / w) << row << "," << col;
    EXPECT_FLOAT_EQ(p[1], lens < 0 ? 0 : tableRow / h) << row << "," << col;
}

// Index count, the first quad, indices spanning exactly the built rows, and
// every built vertex at the radius.
void ExpectMesh(const CShapeModel& m, int quadRows, double radius) {
    const int w = m.m_nCols + 1;
    ASSERT_EQ(m.m_nIndexCount, quadRows * m.m_nCols * 6);
    const int first[6] = {0, 1, w, w, 1, w + 1};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(m.m_pIndices[i], first[i]);
    EXPECT_EQ(*std::max_element(m.m_pIndices, m.m_pIndices + m.m_nIndexCount),
              (quadRows + 1) * w - 1);
    for (int v = 0; radius > 0 && v < (quadRows + 1) * w; ++v) {
        const float* p = m.m_pVertices + 3 * v;
        ASSERT_NEAR(std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]), radius, 1e-6) << v;
    }
}

void Step(CShapeModel& m, int frames = 1, bool flip = false) {
    for (int i = 0; i < frames; ++i) m.Update(flip);
}

struct Slots {
    Slots() { CreateModels(m, 1000); }
    ~Slots() { DeleteModels(m); }
    CShapeModel* m[6];
};

}  // namespace

TEST(ModelMesh, SphereFromLensTablesHasItsPolesOnTheLensAxes) {
    const auto a = Table(0), b = Table(1);
    CBallModel ball(1000);
    ball.Build(a.data(), kStitchMeshFloats, kW, kH, b.data());
    ExpectMesh(ball, 90, 1.0);
    ExpectPos(ball, 0, 77, 1, 0, 0);
    ExpectPos(ball, 90, 77, -1, 0, 0);
    ExpectPos(ball, 45, 0, 0, 0, 1);
    ExpectPos(ball, 45, 45, 0, 1, 0);
    // Lens A on rings 0..51, lens B on 39..90: the band 39..51 carries both.
    for (int i : {0, 180}) {
        for (int k : {0, 39, 51}) ExpectUv(ball, ball.m_pUV, k, i, 0, k, i);
        for (int k : {39, 51, 90}) ExpectUv(ball, ball.m_pUVB, k, i, 1, k - 39, i);
        ExpectUv(ball, ball.m_pUV, 52, i, -1);
        ExpectUv(ball, ball.m_pUVB, 38, i, -1);
    }
}

TEST(ModelMesh, SphereWithoutBothTablesIsEquirectangular) {
    const auto a = Table(0);
    CBallModel ball(1000);
    ball.Build(a.data(), kStitchMeshFloats, kW, kH, nullptr);
    ExpectMesh(ball, 91, 0.9);
    ExpectPos(ball, 0, 45, 0, 0.9f, 0);
    ExpectPos(ball, 91, 45, 0, -0.9f, 0);
    EXPECT_FLOAT_EQ(At(ball, ball.m_pUV, 2, 45, 60)[0], 1 / 3.0f);
    EXPECT_FLOAT_EQ(At(ball, ball.m_pUV, 2, 45, 60)[1], 45 / 91.0f);
    EXPECT_EQ(At(ball, ball.m_pUV, 2, 91, 180)[1], 1.0f);
}

TEST(ModelMesh, CapAndDomeReachNinetySixDegreesFromTheLensAxis) {
    const auto a = Table(0);
    CHalfBallModel cap(1000);
    CIndomeModel dome(1000);
    for (CShapeModel* m : {static_cast<CShapeModel*>(&cap), static_cast<CShapeModel*>(&dome)}) {
        m->Build(a.data(), 2 * 181 * 10, kW, kH, nullptr);  // coordinates for rings 0..9
        ExpectMesh(*m, 48, 1.0);
        ExpectPos(*m, 0, 33, 0, 1, 0);
        ExpectPos(*m, 45, 0, 0, 0, -1);
        EXPECT_NEAR(At(*m, m->m_pVertices, 3, 48, 0)[1], std::cos(96 * 3.1415926 / 180), 1e-6);
        ExpectUv(*m, m->m_pUV, 9, 180, 0, 9, 180);
        ExpectUv(*m, m->m_pUV, 10, 0, -1);
    }
}

TEST(ModelLayer, BuildLaysOutTwoStripsOfTheRings) {
    const auto a = Table(0);
    CLayerModel layer(1000);
    layer.Build(nullptr, 0, kW, kH, nullptr);
    EXPECT_EQ(layer.m_nIndexCount, 0);
    layer.Build(a.data(), kStitchMeshFloats, kW, kH, nullptr);
    EXPECT_EQ(layer.m_fFov, 80.0f);
    ExpectMesh(layer, 79, 0);
    ExpectPos(layer, 0, 0, 0.465f, -39 / 80.0f, 0);
    ExpectPos(layer, 39, 90, -0.465f, 0, 0);
    ExpectPos(layer, 40, 90, -0.465f, 0, 0);
    for (int i : {0, 90}) {
        ExpectUv(layer, layer.m_pUV, 0, i, 0, 9, i);
        ExpectUv(layer, layer.m_pUV, 39, i, 0, 48, i);
        ExpectUv(layer, layer.m_pUV, 40, i, 0, 9, 90 + i);
        ExpectUv(layer, layer.m_pUV, 79, i, 0, 48, 90 + i);
    }
}

TEST(ModelLayer, DragShiftsWholeColumnsOncePerNewStep) {
    const auto a = Table(0);
    CLayerModel layer(1000);
    layer.Build(a.data(), kStitchMeshFloats, 1, 1, nullptr);
    const auto column = [&](int row) { return At(layer, layer.m_pUV, 2, row, 10)[0]; };
    const float steps[][2] = {{0.6f, 10}, {3, 13}, {3, 13}, {-2.9f, 11}};
    for (const auto& s : steps) {
        layer.m_fYaw = s[0];
        Step(layer);
        EXPECT_EQ(column(0), s[1]) << s[0];  // a repeated step is not applied again
        EXPECT_EQ(column(40), s[1] + 90) << s[0];
        EXPECT_EQ(layer.m_fLastShift, s[0]);
        EXPECT_EQ(layer.m_fYaw, 0.0f);
    }
    EXPECT_TRUE(layer.m_bUVDirty);
    EXPECT_EQ(layer.GetYaw(), 0.0f);
    EXPECT_EQ(layer.GetPitch(), 180.0f);
}

TEST(ModelLayer, FlipShowsTheMirroredTableAndReversesDrags) {
    const auto a = Table(0);
    CLayerModel layer(1000);
    layer.Build(a.data(), kStitchMeshFloats, 1, 1, nullptr);
    Step(layer, 1, true);
    EXPECT_TRUE(layer.m_bUVDirty);
    ExpectUv(layer, layer.m_pUV, 0, 10, 0, 39, 170, 1, 1);  // ring 39, columns reversed
    ExpectUv(layer, layer.m_pUV, 39, 10, 0, 0, 170, 1, 1);
    layer.m_fYaw = 3;
    Step(layer, 1, true);
    ExpectUv(layer, layer.m_pUV, 0, 10, 0, 39, 167, 1, 1);
}

TEST(ModelView, SpeedsDecayStopAndIgnoreNonFiniteValues) {
    CBallModel ball(1000);
    const float inf = std::numeric_limits<float>::infinity();
    const float cases[][3] = {{10, 9.8f, 99.8f}, {0.05f, 0, 99.8f}, {-0.099f, 0, 99.8f},
                              {inf, 0, 99.8f},   {-inf, 0, 99.8f},  {NAN, 0, 99.8f}};
    for (const auto& c : cases) {
        ball.m_fYawSpeed = ball.m_fPitchSpeed = c[0];
        ball.m_fPitch = 0;
        Step(ball);
        EXPECT_FLOAT_EQ(ball.m_fYawSpeed, c[1]) << c[0];
        EXPECT_FLOAT_EQ(ball.m_fYaw, c[2]) << c[0];
        EXPECT_EQ(ball.m_fPitch, std::trunc(c[1])) << c[0];
    }
    ball.m_fPitchSpeed = 0.5f;  // below a degree a frame: lost to truncation
    Step(ball, 3);
    EXPECT_EQ(ball.m_fPitch, 0.0f);
}

TEST(ModelView, ClampsKeepEachModelInItsRange) {
    struct Case {
        float yaw, pitch, wantYaw, wantPitch;
    };
    const auto check = [](CShapeModel& m, std::initializer_list<Case> cases) {
        for (const Case& c : cases) {
            m.m_fYaw = c.yaw;
            m.m_fPitch = c.pitch;
            Step(m);
            EXPECT_EQ(m.m_fYaw, c.wantYaw) << c.yaw;
            EXPECT_EQ(m.m_fPitch, c.wantPitch) << c.pitch;
        }
    };
    CBallModel ball(1000), level(1000);
    check(ball, {{-0.5f, 45.7f, 360, 45}, {360.5f, -45.7f, 0, -45}, {359.5f, 725, 359.5f, 5}});
    check(ball, {{10, 1e20f, 10, 0}, {10, NAN, 10, 0}});
    level.m_bLevel = true;
    check(level, {{0, 120, 0, 90}, {0, -100.5f, 0, -90}});
    level.m_bFlip = true;
    check(level, {{0, 300, 0, 270}, {0, 50, 0, 90}, {0, 180.9f, 0, 180}});
    CHalfBallModel cap(1000);
    check(cap, {{725.9f, 45.7f, 5, 45}, {-370.2f, -400, -10, -40}});
    CIndomeModel dome(1000);
    check(dome, {{361, 2, 1, 5}, {0, 80, 0, 65}});
    dome.m_bFlip = true;
    check(dome, {{0, 2, 0, 115}, {0, 200, 0, 175}, {0, 130.5f, 0, 130}});
    CLayerModel layer(1000);  // without a table the step is still consumed
    check(layer, {{40, 3, 0, 180}});
}

TEST(ModelView, ResetsReturnToEachDefault) {
    CBallModel ball(1000);
    ball.m_fFov = 70;
    ball.m_fYaw = 10;
    ball.m_bResetPending = true;
    Step(ball);
    EXPECT_EQ(ball.m_fFov, 90.0f);
    EXPECT_EQ(ball.m_fYaw, 90.0f);
    EXPECT_FALSE(ball.m_bResetPending);
    const struct {
        bool flip, planet;
        float pitch;
    } cases[] = {{false, false, 0}, {true, false, 180}, {true, true, 90}, {false, true, -90}};
    for (const auto& c : cases) {
        ball.m_bFlip = c.flip;
        ball.m_bPlanet = c.planet;
        ball.m_fPitch = 33;
        EXPECT_FALSE(ball.Reset());
        EXPECT_EQ(ball.m_fPitch, c.pitch);
    }
    CHalfBallModel cap(1000);
    cap.m_bFlip = true;
    cap.Reset();
    EXPECT_EQ(cap.m_fPitch, 270.0f);
    CIndomeModel dome(1000);
    dome.m_fYawSpeed = dome.m_fPitchSpeed = 5;
    dome.m_bFlip = true;
    dome.Reset();
    EXPECT_EQ(dome.m_fPitch, 180.0f);
    EXPECT_EQ(dome.m_fYawSpeed + dome.m_fPitchSpeed, 0.0f);

    // The layer walks one degree a frame: 60 to 85 takes 25 frames.
    CLayerModel layer(1000);
    layer.m_fDefaultFov = 85;
    layer.m_fFov = 60;
    layer.m_bResetPending = true;
    Step(layer, 24);
    EXPECT_TRUE(layer.m_bResetPending);
    Step(layer);
    EXPECT_FALSE(layer.m_bResetPending);
    EXPECT_EQ(layer.m_fFov, 85.0f);
}

TEST(ModelSlots, SlotsAreBuiltAndLimitedByFrameKind) {
    const auto a = Table(0), b = Table(1);
    const auto expectFov = [](const CShapeModel* m, float lo, float hi, float fov) {
        EXPECT_EQ(m->m_fMinFov, lo);
        EXPECT_EQ(m->m_fMaxFov, hi);
        EXPECT_EQ(m->m_fFov, fov);
    };
    Slots dual, single, plain, other;
    EXPECT_EQ(dual.m[2]->GetPitch(), -90.0f);

    BuildModelsForSource(dual.m, 2, 1920, 960, a.data(), b.data());
    EXPECT_EQ(dual.m[0]->m_nIndexCount, 97200);
    expectFov(dual.m[0], 70, 136, 136);
    expectFov(dual.m[1], 90, 90, 90);
    expectFov(dual.m[2], 100, 160, 160);
    EXPECT_EQ(dual.m[2]->m_fEyeZ, -1.0f);
    EXPECT_EQ(dual.m[3]->m_nIndexCount, 0);
    dual.m[0]->m_bResetPending = true;
    dual.m[0]->SetFov(200);
    EXPECT_EQ(dual.m[0]->m_fFov, 136.0f);
    EXPECT_FALSE(dual.m[0]->m_bResetPending);
    dual.m[0]->SetFov(10);
    EXPECT_EQ(dual.m[0]->m_fFov, 70.0f);

    BuildModelsForSource(single.m, 1, 1920, 1080, a.data(), nullptr);
    EXPECT_EQ(single.m[0]->m_nIndexCount, 0);
    expectFov(single.m[3], 60, 134, 122);
    expectFov(single.m[4], 60, 70, 65);
    expectFov(single.m[5], 60, 90, 85);

    BuildModelsForSource(plain.m, 1015, 800, 400, nullptr, nullptr);  // uncalibrated 2:1
    EXPECT_EQ(plain.m[0]->m_nIndexCount, 98280);
    expectFov(plain.m[0], 65, 126, 126);
    expectFov(plain.m[1], 80, 80, 80);
    EXPECT_EQ(plain.m[2]->m_fEyeZ, -0.88f);
    EXPECT_EQ(plain.m[3]->m_nIndexCount, 0);

    BuildModelsForSource(other.m, 0, 800, 600, nullptr, nullptr);
    for (CShapeModel* m : other.m) EXPECT_EQ(m->m_nIndexCount, 0);
}
