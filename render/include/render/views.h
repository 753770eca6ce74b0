// The views a user chooses between: six projection-model slots and the raw
// frame. The numbers are the ones the window's view buttons and the render
// command use.
#pragma once

enum View {
    ViewSphere = 0,        // the sphere seen from inside
    ViewSphereLevel = 1,   // the same, kept level
    ViewLittlePlanet = 2,  // the sphere seen from its bottom pole
    ViewHalfBall = 3,      // a single-lens picture on a cap
    ViewInDome = 4,        // the cap seen from inside
    ViewLayer = 5,         // the picture unrolled into flat strips
    ViewFlat = 6,          // the raw frame, no model
};

// Views 0..5 have a projection model; ViewFlat draws the frame as it is.
constexpr int kModelSlots = 6;
