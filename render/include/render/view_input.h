// The hand-over of the user's view input (zoom, drag, fling, reset, mirror,
// view choice) from the window thread to whichever thread draws.
//
// The window thread only records input here; the drawing thread takes all of
// it at the start of a frame and applies it to its models, so the models are
// only ever written by the thread that draws them. Everything in CViewInput
// is guarded by its mutex: any thread may call any member.
#pragma once

#include <cstdint>
#include <mutex>

class CShapeModel;

// What was pending when the drawing thread took it. A new drag or fling
// replaces one still pending; nothing is summed.
struct ViewInputBatch {
    bool hasView = false;
    int view = -1;  // -1: unbind the current view
    bool hasFlip = false;
    bool flip = false;
    bool reset = false;
    bool hasFov = false;
    float fov = 0;
    bool hasDrag = false;
    float dx = 0, dy = 0;
    bool hasFling = false;
    float vx = 0, vy = 0;

    bool Empty() const {
        return !hasView && !hasFlip && !reset && !hasFov && !hasDrag && !hasFling;
    }
};

class CViewInput {
  public:
    // Degrees one wheel step changes the field of view by.
    static constexpr float kZoomStep = 10.0f;

    // One zoom step from the pending field of view, or from the one last
    // drawn: delta < 0 narrows the view, anything else widens it.
    void Zoom(int delta);
    void Drag(float dx, float dy);   // non-finite steps are dropped
    void Fling(float vx, float vy);  // non-finite speeds are dropped
    // Drops pending drag, fling and zoom; the model stops and resets at its
    // next frame.
    void Reset();
    void SelectView(int view);
    void SetFlip(bool flip);
    // Forgets everything pending and sets the field of view a zoom starts
    // from (a new file, a new model).
    void Restart(float fov);

    bool HasPending() const;
    // The field of view of the model last drawn, or of the last Restart.
    float CurrentFov() const;
    // The model last drawn still moves (inertia or a reset in progress).
    bool Moving() const;

    // Drawing thread: takes everything pending.
    ViewInputBatch Take();
    // Drawing thread, after a frame: what the model now shows.
    void Publish(float fov, bool moving);

  private:
    mutable std::mutex m_lock;  // guards every field below
    ViewInputBatch m_pending;
    float m_fCurrentFov = 90.0f;
    bool m_bMoving = false;
};

// Applies drag, fling, zoom and reset of a batch to the model of the bound
// view (drawing thread). diag is the view window's diagonal in pixels: a drag
// step turns the view by 60 / (diag / 2) degrees per unit; a fling sets
// speeds of v / diag degrees per frame (no pitch speed in the dome). Nothing
// happens without a model; drag and fling need a positive diagonal.
void ApplyViewInput(const ViewInputBatch& batch, CShapeModel* model, int boundView, float diag);

// The model still moves: speeds not yet zero, or a reset in progress.
bool ModelMoving(const CShapeModel* model);

// The video area's arithmetic, from pointer positions in pixels.
// A drag step between two mouse moves: 5 x the movement, x reversed, so a
// drag to the right lowers the yaw and a drag down raises the pitch.
void DragStep(int lastX, int lastY, int x, int y, float* dx, float* dy);
// A throw from press to release after elapsedMs milliseconds: 1000 x the
// movement / elapsedMs pixels per second, x reversed. False (no throw) when no
// time has passed.
bool FlingVelocity(int pressX, int pressY, int x, int y, uint32_t elapsedMs, float* vx, float* vy);
