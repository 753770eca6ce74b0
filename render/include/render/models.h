// Projection models: the mesh one frame is drawn on (positions, one or two
// sets of texture coordinates, a triangle list) plus the view state the user
// changes (field of view, yaw, pitch, inertia).
//
// Members are public: the renderer reads the arrays and the view values, and
// navigation writes yaw, pitch, speeds and the window size directly. Lens
// tables are stitch meshes (calib/mesh.h): 181 columns of (x, y) pixel
// positions a row, normalised here by the frame size.
#pragma once

#include <cstdint>

#include "render/views.h"

class CShapeModel {
  public:
    explicit CShapeModel(float diag);
    virtual ~CShapeModel();
    CShapeModel(const CShapeModel&) = delete;
    CShapeModel& operator=(const CShapeModel&) = delete;

    virtual float GetYaw() const { return m_fYaw; }
    virtual float GetPitch() const { return m_fPitch; }
    // Writes the mesh from the lens tables (countFloats floats each).
    virtual void Build(const float* tableA, int countFloats, int frameWidth, int frameHeight,
                       const float* tableB);
    // Keep yaw and pitch in range after a change.
    virtual void ClampYaw() {}
    virtual void ClampPitch() {}
    // Back to the default view. Always returns false.
    virtual bool Reset() { return false; }
    // Clears a pending reset and stores fov (clamped to the limits in every
    // derived model).
    virtual void SetFov(float fov);
    // One animation step per drawn frame: pending reset, inertia, clamps.
    virtual void Update(bool flip);
    virtual void SetEyeZ(float /*z*/) {}

    uint16_t* m_pIndices = nullptr;  // three per triangle
    int32_t m_nIndexCount = 0;       // written by the last Build
    float* m_pUV = nullptr;          // 2 per vertex, lens A (or the only lens)
    float* m_pUVB = nullptr;         // 2 per vertex, lens B; spheres only
    float* m_pVertices = nullptr;    // 3 per vertex
    float m_fFov = 90.0f;            // vertical, degrees
    float m_fYaw = 0.0f;             // about y, degrees
    float m_fPitch = 0.0f;           // about x, degrees
    float m_fEyeZ = 0.0f;            // the eye looks from (0, 0, m_fEyeZ) at the origin
    float m_fDiag = 0.0f;            // view window diagonal, pixels
    float m_fYawSpeed = 0.0f;        // added per frame
    float m_fPitchSpeed = 0.0f;
    float m_fHalfDiag = 0.0f;
    float m_fNear = 0.0f;
    bool m_bResetPending = false;  // the next Update resets first
    float m_fMaxFov = 120.0f;
    float m_fMinFov = 60.0f;
    float m_fDefaultFov = 90.0f;
    int16_t m_nCols = 0;  // quads a mesh row
    int16_t m_nRows = 0;  // quad rows allocated (a sphere from lens tables uses one fewer)

  protected:
    // Allocates (rows + 1) x (cols + 1) vertices and rows x cols quads.
    CShapeModel(float diag, int16_t cols, int16_t rows, bool withUVB);
    // Two triangles a quad over quadRows rows of m_nCols quads.
    void BuildIndices(int quadRows);
    void SetFovClamped(float fov);

  private:
    void FreeArrays();
};

// The sphere. With two lens tables its poles are the lens axes (+x lens A,
// -x lens B); without tables it is a 2:1 equirectangular sphere of radius 0.9
// with its poles on y.
class CBallModel : public CShapeModel {
  public:
    explicit CBallModel(float diag);
    void Build(const float* tableA, int countFloats, int frameWidth, int frameHeight,
               const float* tableB) override;
    void ClampYaw() override;
    void ClampPitch() override;
    bool Reset() override;
    void SetFov(float fov) override { SetFovClamped(fov); }
    void SetEyeZ(float z) override { m_fEyeZ = z; }

    float m_fBasePitch = 0.0f;
    bool m_bFlip = false;
    bool m_bLevel = false;   // pitch limited to +-90 degrees
    bool m_bPlanet = false;  // little planet: the reset looks 90 degrees down
};

// Spherical cap of a single-lens frame, the lens axis on +y, down to 96
// degrees from it.
class CHalfBallModel : public CShapeModel {
  public:
    explicit CHalfBallModel(float diag);
    void Build(const float* tableA, int countFloats, int frameWidth, int frameHeight,
               const float* tableB) override;
    void ClampYaw() override;
    void ClampPitch() override;
    bool Reset() override;
    void SetFov(float fov) override { SetFovClamped(fov); }

    float m_fBasePitch = 90.0f;
    bool m_bFlip = false;
};

// The same cap seen from inside, pitch limited to the dome.
class CIndomeModel : public CShapeModel {
  public:
    explicit CIndomeModel(float diag);
    void Build(const float* tableA, int countFloats, int frameWidth, int frameHeight,
               const float* tableB) override;
    void ClampYaw() override;
    void ClampPitch() override;
    bool Reset() override;
    void SetFov(float fov) override { SetFovClamped(fov); }

    bool m_bFlip = false;
};

// The single-lens frame unrolled into two flat strips (table columns 0..90
// above, 90..180 below). Turning shifts the table's columns instead of
// rotating the mesh: m_fYaw holds only what was added since the last frame.
class CLayerModel : public CShapeModel {
  public:
    explicit CLayerModel(float diag);
    ~CLayerModel() override;
    float GetYaw() const override { return 0.0f; }
    float GetPitch() const override { return 180.0f; }
    void Build(const float* tableA, int countFloats, int frameWidth, int frameHeight,
               const float* tableB) override;
    void ClampYaw() override;
    void ClampPitch() override { m_fPitch = 180.0f; }
    // Moves the field of view one degree toward the default per call; the
    // reset stays pending until it is there.
    bool Reset() override;
    void SetFov(float fov) override { SetFovClamped(fov); }
    // The base step, then a flip change re-applies the last shift mirrored.
    void Update(bool flip) override;

    int32_t m_nFrameWidth = 0;
    int32_t m_nFrameHeight = 0;
    bool m_bFlip = false;
    bool m_bUVDirty = false;  // m_pUV changed; the renderer re-points its attribute
    float m_fLastShift = 0.0f;
    float* m_pTable = nullptr;  // working copy of the lens table, shifts accumulated
    float* m_pShiftA = nullptr;
    float* m_pShiftB = nullptr;
    float* m_pMirrored = nullptr;
    bool m_bUseShiftB = false;
    int32_t m_nTableFloats = 0;    // count passed to Build
    int32_t m_nTableCapacity = 0;  // floats allocated in each working table

  private:
    void ShiftColumns(float amount);
    void RemapUV(const float* table);
};

// The six view slots in order: sphere, level sphere, little planet, cap,
// dome, layer. On an allocation failure the ones already made are deleted.
void CreateModels(CShapeModel* models[kModelSlots], float diag);

// Deletes the six slots and clears them.
void DeleteModels(CShapeModel* models[kModelSlots]);

// Builds the slots that apply to the frame and sets their field-of-view
// limits: camera type 2 slots 0..2 from both tables, type 1 slots 3..5 from
// table A; an uncalibrated 2:1 frame slots 0..2 without tables. Null slots
// are skipped; other frames build nothing.
void BuildModelsForSource(CShapeModel* models[kModelSlots], int cameraType, int frameWidth,
                          int frameHeight, const float* tableA, const float* tableB);
