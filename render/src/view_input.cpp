#include "render/view_input.h"

#include <cmath>

#include "render/models.h"

void CViewInput::Zoom(int delta) {
    std::lock_guard<std::mutex> lock(m_lock);
    const float base = m_pending.hasFov ? m_pending.fov : m_fCurrentFov;
    m_pending.fov = delta < 0 ? base - kZoomStep : base + kZoomStep;
    m_pending.hasFov = true;
}

void CViewInput::Drag(float dx, float dy) {
    if (!std::isfinite(dx) || !std::isfinite(dy)) return;
    std::lock_guard<std::mutex> lock(m_lock);
    m_pending.dx = dx;
    m_pending.dy = dy;
    m_pending.hasDrag = true;
}

void CViewInput::Fling(float vx, float vy) {
    if (!std::isfinite(vx) || !std::isfinite(vy)) return;
    std::lock_guard<std::mutex> lock(m_lock);
    m_pending.vx = vx;
    m_pending.vy = vy;
    m_pending.hasFling = true;
}

void CViewInput::Reset() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pending.hasDrag = m_pending.hasFling = m_pending.hasFov = false;
    m_pending.reset = true;
}

void CViewInput::SelectView(int view) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pending.view = view;
    m_pending.hasView = true;
}

void CViewInput::SetFlip(bool flip) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pending.flip = flip;
    m_pending.hasFlip = true;
}

void CViewInput::Restart(float fov) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pending = ViewInputBatch{};
    m_fCurrentFov = fov;
    m_bMoving = false;
}

bool CViewInput::HasPending() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return !m_pending.Empty();
}

float CViewInput::CurrentFov() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_fCurrentFov;
}

bool CViewInput::Moving() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_bMoving;
}

ViewInputBatch CViewInput::Take() {
    std::lock_guard<std::mutex> lock(m_lock);
    ViewInputBatch batch = m_pending;
    m_pending = ViewInputBatch{};
    return batch;
}

void CViewInput::Publish(float fov, bool moving) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_fCurrentFov = fov;
    m_bMoving = moving;
}

void ApplyViewInput(const ViewInputBatch& batch, CShapeModel* model, int boundView, float diag) {
    if (model == nullptr) return;
    if (batch.reset) {
        model->m_fYawSpeed = 0;
        model->m_fPitchSpeed = 0;
        model->m_bResetPending = true;
    }
    if (batch.hasFov) model->SetFov(batch.fov);
    if ((batch.hasDrag || batch.hasFling) && diag > 0 && std::isfinite(diag)) {
        model->m_fDiag = diag;
        model->m_fHalfDiag = diag * 0.5f;
        if (batch.hasDrag) {
            model->m_fYaw += batch.dx * 60.0f / model->m_fHalfDiag;
            model->m_fPitch += batch.dy * 60.0f / model->m_fHalfDiag;
            model->m_bResetPending = false;
        }
        if (batch.hasFling) {
            model->m_fYawSpeed = batch.vx / diag;
            if (boundView != ViewInDome) model->m_fPitchSpeed = batch.vy / diag;
            model->m_bResetPending = false;
        }
    }
}

bool ModelMoving(const CShapeModel* model) {
    return model != nullptr &&
           (model->m_fYawSpeed != 0 || model->m_fPitchSpeed != 0 || model->m_bResetPending);
}

void DragStep(int lastX, int lastY, int x, int y, float* dx, float* dy) {
    *dx = static_cast<float>(lastX - x) * 5.0f;
    *dy = static_cast<float>(y - lastY) * 5.0f;
}

bool FlingVelocity(int pressX, int pressY, int x, int y, uint32_t elapsedMs, float* vx, float* vy) {
    if (elapsedMs == 0) return false;
    *vx = static_cast<float>(pressX - x) * 1000.0f / static_cast<float>(elapsedMs);
    *vy = static_cast<float>(y - pressY) * 1000.0f / static_cast<float>(elapsedMs);
    return true;
}
