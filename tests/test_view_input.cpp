// The view input hand-over: what a frame takes, how it reaches the model, and
// a window thread recording input while a drawing thread takes and applies it
// (this one runs under ThreadSanitizer in CI).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "render/models.h"
#include "render/view_input.h"

TEST(ViewInput, ABatchHoldsTheLastOfEachAndZoomStepsFromThePending) {
    CViewInput input;
    input.Restart(100);
    EXPECT_FALSE(input.HasPending());
    input.Drag(1, 2);
    input.Drag(3, 4);
    input.Fling(std::numeric_limits<float>::infinity(), 0);  // dropped
    input.Drag(std::nanf(""), 0);                            // dropped
    input.Zoom(-120);
    input.Zoom(-1);
    input.Zoom(5);
    ViewInputBatch b = input.Take();
    EXPECT_TRUE(b.hasDrag);
    EXPECT_EQ(b.dx, 3);
    EXPECT_EQ(b.dy, 4);
    EXPECT_FALSE(b.hasFling);
    EXPECT_TRUE(b.hasFov);
    EXPECT_EQ(b.fov, 90) << "two steps in, one out, from 100";
    EXPECT_TRUE(input.Take().Empty());

    // A reset drops what is pending; the next zoom starts from what was drawn.
    input.Publish(70, false);
    input.Drag(1, 1);
    input.Zoom(1);
    input.Reset();
    b = input.Take();
    EXPECT_TRUE(b.reset);
    EXPECT_FALSE(b.hasDrag || b.hasFov);
    input.Zoom(1);
    EXPECT_EQ(input.Take().fov, 80);
}

TEST(ViewInput, BatchesTurnZoomAndThrowTheModel) {
    CBallModel sphere(100);
    sphere.m_fMinFov = 70;
    sphere.m_fMaxFov = 136;
    ViewInputBatch b;
    b.hasDrag = true;
    b.dx = -500;  // a pointer move of 100 pixels to the right
    b.hasFov = true;
    b.fov = 200;  // clamped by the model
    const float yaw = sphere.m_fYaw;
    ApplyViewInput(b, &sphere, ViewSphere, 1200);
    EXPECT_NEAR(sphere.m_fYaw, yaw - 50.0f, 1e-4) << "600 / d degrees a pixel";
    EXPECT_EQ(sphere.m_fFov, 136);
    EXPECT_EQ(sphere.m_fHalfDiag, 600);

    ViewInputBatch fling;
    fling.hasFling = true;
    fling.vx = 1200;
    fling.vy = 2400;
    ApplyViewInput(fling, &sphere, ViewSphere, 1200);
    EXPECT_EQ(sphere.m_fYawSpeed, 1);
    EXPECT_EQ(sphere.m_fPitchSpeed, 2);
    EXPECT_TRUE(ModelMoving(&sphere));
    CIndomeModel dome(100);
    ApplyViewInput(fling, &dome, ViewInDome, 1200);
    EXPECT_EQ(dome.m_fYawSpeed, 1);
    EXPECT_EQ(dome.m_fPitchSpeed, 0) << "the dome is never thrown up or down";

    // Without a model or a window size nothing happens.
    ApplyViewInput(fling, nullptr, ViewSphere, 1200);
    CBallModel still(100);
    ApplyViewInput(fling, &still, ViewSphere, 0);
    EXPECT_FALSE(ModelMoving(&still));

    ViewInputBatch reset;
    reset.reset = true;
    ApplyViewInput(reset, &sphere, ViewSphere, 1200);
    EXPECT_EQ(sphere.m_fYawSpeed, 0);
    EXPECT_TRUE(sphere.m_bResetPending);
}

TEST(ViewInput, PointerArithmeticOfTheVideoArea) {
    float dx = 0, dy = 0;
    DragStep(100, 100, 110, 96, &dx, &dy);
    EXPECT_EQ(dx, -50);
    EXPECT_EQ(dy, -20);
    float vx = 1, vy = 1;
    EXPECT_FALSE(FlingVelocity(0, 0, 300, 0, 0, &vx, &vy)) << "same millisecond: no throw";
    EXPECT_TRUE(FlingVelocity(0, 0, 300, -100, 150, &vx, &vy));
    EXPECT_EQ(vx, -2000);
    EXPECT_EQ(vy, -666.6667f);
    EXPECT_TRUE(FlingVelocity(10, 10, 10, 10, 40, &vx, &vy));
    EXPECT_EQ(vx, 0);
    EXPECT_EQ(vy, 0);
}

TEST(ViewInput, WindowThreadAndDrawingThreadShareIt) {
    CViewInput input;
    input.Restart(90);
    CBallModel sphere(100);
    sphere.m_fMinFov = 70;
    sphere.m_fMaxFov = 136;
    std::atomic<bool> done{false};
    std::thread drawing([&] {
        while (!done.load()) {
            const ViewInputBatch b = input.Take();
            ApplyViewInput(b, &sphere, ViewSphere, 1000);
            sphere.Update(false);
            input.Publish(sphere.m_fFov, ModelMoving(&sphere));
        }
    });
    for (int i = 0; i < 20000; ++i) {
        switch (i % 5) {
            case 0:
                input.Drag(1, -1);
                break;
            case 1:
                input.Fling(500, 10);
                break;
            case 2:
                input.Zoom(i % 10 == 2 ? -1 : 1);
                break;
            case 3:
                (void)input.HasPending();
                (void)input.Moving();
                break;
            default:
                if (i % 1000 == 4) input.Reset();
                (void)input.CurrentFov();
                break;
        }
    }
    done = true;
    drawing.join();
    EXPECT_GE(input.CurrentFov(), 70);
    EXPECT_LE(input.CurrentFov(), 136);
    EXPECT_TRUE(std::isfinite(sphere.m_fYaw));
}
