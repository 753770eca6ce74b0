#include "render/models.h"

#include <cmath>
#include <cstring>
#include <memory>

#include "lens/mesh.h"

namespace {

// The constants the meshes are laid out with (not full-precision pi).
constexpr double kPi = 3.1415926;
constexpr double kTwoPi = 6.2831852;
constexpr double kHalfPi = 1.5707963;

constexpr int kTableColumns = kMeshColumns;  // 181, the last repeating the first
// Rings of a single-lens table the layer shifts and mirrors.
constexpr int kLayerTableRows = 49;
constexpr int kLayerTableFloats = 2 * kLayerTableRows * kTableColumns;

// trunc(v) as an int; 0 where that would not fit (NaN, infinities, huge).
int TruncToInt(float v) {
    return std::fabs(v) < 2147483648.0f ? static_cast<int>(v) : 0;
}

// trunc(v) % 360, keeping the sign of v.
float WholeDegrees(float v) {
    return static_cast<float>(TruncToInt(v) % 360);
}

float Clamp(float v, float lo, float hi) {
    if (v < lo) return lo;
    if (v > hi) return hi;
    return v;
}

// Inertia: small speeds stop, others decay. A non-finite speed stops too, so
// it never reaches yaw or pitch.
float Damp(float speed) {
    if (!std::isfinite(speed)) return 0.0f;
    if (speed > -0.1f && speed < 0.1f) return 0.0f;
    return speed * 0.98f;
}

// Table pair (row, col) as texture coordinates.
void Normalise(const float* table, int row, int col, float width, float height, float* uv) {
    const size_t src = 2 * (static_cast<size_t>(row) * kTableColumns + col);
    uv[0] = table[src] / width;
    uv[1] = table[src + 1] / height;
}

// Positions and coordinates of the cap shared by the half ball and the dome:
// 2-degree rings from the lens axis on +y down to 96 degrees.
void BuildCap(CShapeModel& model, const float* table, int countFloats, int frameWidth,
              int frameHeight) {
    const int cols = model.m_nCols;
    const float w = static_cast<float>(frameWidth);
    const float h = static_cast<float>(frameHeight);
    for (int k = 0; k <= model.m_nRows; ++k) {
        const double theta = k / 90.0 * kPi;
        for (int i = 0; i <= cols; ++i) {
            const double phi = i / 180.0 * kTwoPi - kHalfPi;
            const size_t v = static_cast<size_t>(k) * (cols + 1) + i;
            model.m_pVertices[3 * v] = static_cast<float>(std::cos(phi) * std::sin(theta));
            model.m_pVertices[3 * v + 1] = static_cast<float>(std::cos(theta));
            model.m_pVertices[3 * v + 2] = static_cast<float>(std::sin(phi) * std::sin(theta));
            const size_t src = 2 * (static_cast<size_t>(k) * kTableColumns + i);
            if (table != nullptr &&
                src + 1 < static_cast<size_t>(countFloats > 0 ? countFloats : 0)) {
                Normalise(table, k, i, w, h, model.m_pUV + 2 * v);
            }
        }
    }
}

}  // namespace

// ---------------------------------------------------------------- CShapeModel

CShapeModel::CShapeModel(float diag) : CShapeModel(diag, 0, 0, false) {}

CShapeModel::CShapeModel(float diag, int16_t cols, int16_t rows, bool withUVB)
    : m_fDiag(diag), m_fHalfDiag(diag * 0.5f), m_nCols(cols), m_nRows(rows) {
    m_fFov = m_fDefaultFov;
    const size_t vertices = static_cast<size_t>(rows + 1) * (cols + 1);
    const size_t indices = static_cast<size_t>(rows) * cols * 6;
    if (indices == 0) return;
    try {
        m_pIndices = new uint16_t[indices]();
        m_pUV = new float[2 * vertices]();
        if (withUVB) m_pUVB = new float[2 * vertices]();
        m_pVertices = new float[3 * vertices]();
    } catch (...) {
        FreeArrays();
        throw;
    }
}

CShapeModel::~CShapeModel() {
    FreeArrays();
}

void CShapeModel::FreeArrays() {
    delete[] m_pIndices;
    delete[] m_pUV;
    delete[] m_pUVB;
    delete[] m_pVertices;
    m_pIndices = nullptr;
    m_pUV = m_pUVB = m_pVertices = nullptr;
}

void CShapeModel::Build(const float*, int, int, int, const float*) {}

void CShapeModel::SetFov(float fov) {
    m_bResetPending = false;
    m_fFov = fov;
}

void CShapeModel::SetFovClamped(float fov) {
    m_bResetPending = false;
    m_fFov = Clamp(fov, m_fMinFov, m_fMaxFov);
}

void CShapeModel::Update(bool /*flip*/) {
    if (m_bResetPending) Reset();
    m_fYawSpeed = Damp(m_fYawSpeed);
    m_fPitchSpeed = Damp(m_fPitchSpeed);
    m_fYaw += m_fYawSpeed;
    ClampYaw();
    m_fPitch += m_fPitchSpeed;
    ClampPitch();
}

void CShapeModel::BuildIndices(int quadRows) {
    const int w = m_nCols + 1;
    uint16_t* out = m_pIndices;
    for (int j = 0; j < quadRows; ++j) {
        for (int i = 0; i < m_nCols; ++i) {
            const int p = j * w + i;
            const uint16_t tri[6] = {
                static_cast<uint16_t>(p),     static_cast<uint16_t>(p + 1),
                static_cast<uint16_t>(p + w), static_cast<uint16_t>(p + w),
                static_cast<uint16_t>(p + 1), static_cast<uint16_t>(p + w + 1)};
            std::memcpy(out, tri, sizeof(tri));
            out += 6;
        }
    }
    m_nIndexCount = quadRows * m_nCols * 6;
}

// ----------------------------------------------------------------- CBallModel

CBallModel::CBallModel(float diag) : CShapeModel(diag, 180, 91, true) {
    m_fEyeZ = -1.3f;
    m_fNear = 0.5f;
    m_fYaw = 90.0f;
    m_fPitch = m_fBasePitch;
}

void CBallModel::Build(const float* tableA, int countFloats, int frameWidth, int frameHeight,
                       const float* tableB) {
    const int cols = m_nCols;
    const float w = static_cast<float>(frameWidth);
    const float h = static_cast<float>(frameHeight);
    if (tableA == nullptr || tableB == nullptr || countFloats <= 0) {
        // 2:1 equirectangular frame: u, v follow longitude and latitude.
        const int rows = m_nRows;
        for (int k = 0; k <= rows; ++k) {
            const double t = static_cast<double>(k) / rows;
            const double theta = t * kPi;
            for (int i = 0; i <= cols; ++i) {
                const double s = i / 180.0;
                const double phi = s * kTwoPi - kHalfPi;
                const size_t v = static_cast<size_t>(k) * (cols + 1) + i;
                m_pVertices[3 * v] = static_cast<float>(0.9 * (std::cos(phi) * std::sin(theta)));
                m_pVertices[3 * v + 1] = static_cast<float>(0.9 * std::cos(theta));
                m_pVertices[3 * v + 2] =
                    static_cast<float>(0.9 * (std::sin(phi) * std::sin(theta)));
                m_pUV[2 * v] = static_cast<float>(s);
                m_pUV[2 * v + 1] = static_cast<float>(t);
            }
        }
        BuildIndices(rows);
        return;
    }

    // Two lenses: ring k is 2k degrees from lens A's axis (+x). Lens A covers
    // rings 0..51, lens B rings 39..90; the shader blends them where both do.
    constexpr int kRings = 90;
    constexpr int kTableRows = kMeshRows;                 // 52 rings a lens
    constexpr int kFirstRingB = kRings + 1 - kTableRows;  // 39
    const size_t available = static_cast<size_t>(countFloats);
    for (int k = 0; k <= kRings; ++k) {
        const double theta = k / 90.0 * kPi;
        for (int i = 0; i <= cols; ++i) {
            const double phi = (i + 45) / 180.0 * kTwoPi - kHalfPi;
            const size_t v = static_cast<size_t>(k) * (cols + 1) + i;
            m_pVertices[3 * v] = static_cast<float>(std::cos(theta));
            m_pVertices[3 * v + 1] = static_cast<float>(std::sin(theta) * std::sin(phi));
            m_pVertices[3 * v + 2] = static_cast<float>(std::sin(theta) * std::cos(phi));
            if (k < kTableRows &&
                2 * (static_cast<size_t>(k) * kTableColumns + i) + 1 < available) {
                Normalise(tableA, k, i, w, h, m_pUV + 2 * v);
            }
            const int rowB = k - kFirstRingB;
            if (rowB >= 0 && 2 * (static_cast<size_t>(rowB) * kTableColumns + i) + 1 < available) {
                Normalise(tableB, rowB, i, w, h, m_pUVB + 2 * v);
            }
        }
    }
    BuildIndices(kRings);
}

void CBallModel::ClampYaw() {
    // No remainder carried over: the wrap lands exactly on 0 or 360.
    if (m_fYaw < 0.0f) {
        m_fYaw = 360.0f;
    } else if (m_fYaw > 360.0f) {
        m_fYaw = 0.0f;
    }
}

void CBallModel::ClampPitch() {
    if (m_bLevel) {
        m_fPitch = m_bFlip ? Clamp(m_fPitch, 90.0f, 270.0f) : Clamp(m_fPitch, -90.0f, 90.0f);
    }
    m_fPitch = WholeDegrees(m_fPitch);
}

bool CBallModel::Reset() {
    m_fFov = m_fDefaultFov;
    m_fYaw = 90.0f;
    m_fPitch = m_bFlip ? 180.0f : m_fBasePitch;
    if (m_bPlanet) m_fPitch -= 90.0f;
    m_bResetPending = false;
    return false;
}

// ------------------------------------------------------------- CHalfBallModel

CHalfBallModel::CHalfBallModel(float diag) : CShapeModel(diag, 180, 48, false) {
    m_fEyeZ = -1.3f;
    m_fNear = 0.1f;
    m_fPitch = m_fBasePitch;
}

void CHalfBallModel::Build(const float* tableA, int countFloats, int frameWidth, int frameHeight,
                           const float*) {
    BuildCap(*this, tableA, countFloats, frameWidth, frameHeight);
    BuildIndices(m_nRows);
}

void CHalfBallModel::ClampYaw() {
    m_fYaw = WholeDegrees(m_fYaw);
}

void CHalfBallModel::ClampPitch() {
    m_fPitch = WholeDegrees(m_fPitch);
}

bool CHalfBallModel::Reset() {
    m_fFov = m_fDefaultFov;
    m_fYaw = 0.0f;
    m_fPitch = m_fBasePitch + (m_bFlip ? 180.0f : 0.0f);
    m_bResetPending = false;
    return false;
}

// --------------------------------------------------------------- CIndomeModel

CIndomeModel::CIndomeModel(float diag) : CShapeModel(diag, 180, 48, false) {
    m_fEyeZ = -1.3f;
    m_fNear = 0.1f;
}

void CIndomeModel::Build(const float* tableA, int countFloats, int frameWidth, int frameHeight,
                         const float*) {
    BuildCap(*this, tableA, countFloats, frameWidth, frameHeight);
    BuildIndices(m_nRows);
}

void CIndomeModel::ClampYaw() {
    m_fYaw = WholeDegrees(m_fYaw);
}

void CIndomeModel::ClampPitch() {
    m_fPitch = m_bFlip ? Clamp(m_fPitch, 115.0f, 175.0f) : Clamp(m_fPitch, 5.0f, 65.0f);
    m_fPitch = WholeDegrees(m_fPitch);
}

bool CIndomeModel::Reset() {
    m_fFov = m_fDefaultFov;
    m_fYaw = 0.0f;
    m_fPitch = m_bFlip ? 180.0f : 0.0f;
    m_fYawSpeed = 0.0f;
    m_fPitchSpeed = 0.0f;
    m_bResetPending = false;
    return false;
}

// ---------------------------------------------------------------- CLayerModel

CLayerModel::CLayerModel(float diag) : CShapeModel(diag, 90, 79, false) {
    m_fEyeZ = -1.0f;
    m_fNear = 0.1f;
}

CLayerModel::~CLayerModel() {
    delete[] m_pTable;
    delete[] m_pShiftA;
    delete[] m_pShiftB;
    delete[] m_pMirrored;
}

void CLayerModel::Build(const float* tableA, int countFloats, int frameWidth, int frameHeight,
                        const float*) {
    m_fFov = 80.0f;
    m_nFrameWidth = frameWidth;
    m_nFrameHeight = frameHeight;
    m_nTableFloats = countFloats;
    if (tableA == nullptr || countFloats <= 0) return;

    // The working tables are made once. They are never smaller than a whole
    // stitch mesh, so the rings the layer reads exist even for a short table
    // (the missing part reads as zeros).
    if (m_pTable == nullptr || countFloats > m_nTableCapacity) {
        const int capacity = countFloats > kStitchMeshFloats ? countFloats : kStitchMeshFloats;
        std::unique_ptr<float[]> table(new float[capacity]());
        std::unique_ptr<float[]> shiftA(new float[capacity]());
        std::unique_ptr<float[]> shiftB(new float[capacity]());
        std::unique_ptr<float[]> mirrored(new float[capacity]());
        delete[] m_pTable;
        delete[] m_pShiftA;
        delete[] m_pShiftB;
        delete[] m_pMirrored;
        m_pTable = table.release();
        m_pShiftA = shiftA.release();
        m_pShiftB = shiftB.release();
        m_pMirrored = mirrored.release();
        m_nTableCapacity = capacity;
    }
    std::memcpy(m_pTable, tableA, static_cast<size_t>(countFloats) * sizeof(float));

    // Two strips, 0.93 wide and half a unit high each, meeting at y = 0
    // (rows 39 and 40 lie on the same line).
    const int cols = m_nCols;
    for (int k = 0; k <= m_nRows; ++k) {
        const double y = (k <= 39 ? k - 39 : k - 40) / 80.0;
        for (int i = 0; i <= cols; ++i) {
            const size_t v = static_cast<size_t>(k) * (cols + 1) + i;
            m_pVertices[3 * v] = static_cast<float>(-(i - 45) / 90.0 * 0.93);
            m_pVertices[3 * v + 1] = static_cast<float>(y);
            m_pVertices[3 * v + 2] = 0.0f;
        }
    }
    RemapUV(m_pTable);
    BuildIndices(m_nRows);
}

// Upper strip (rows 0..39): table rings 9..48, columns 0..90; lower strip
// (rows 40..79): the same rings, columns 90..180.
void CLayerModel::RemapUV(const float* table) {
    const int cols = m_nCols;
    const float w = static_cast<float>(m_nFrameWidth);
    const float h = static_cast<float>(m_nFrameHeight);
    for (int k = 0; k <= m_nRows; ++k) {
        const int row = k <= 39 ? 9 + k : k - 31;
        const int firstColumn = k <= 39 ? 0 : 90;
        for (int i = 0; i <= cols; ++i) {
            const size_t v = static_cast<size_t>(k) * (cols + 1) + i;
            Normalise(table, row, firstColumn + i, w, h, m_pUV + 2 * v);
        }
    }
}

void CLayerModel::ClampYaw() {
    // A step equal to the last one is taken as already applied.
    if (m_fYaw != m_fLastShift) {
        m_bUVDirty = true;
        m_fLastShift = m_fYaw;
        ShiftColumns(m_fYaw);
    }
    m_fYaw = 0.0f;
}

// One unit of amount is one table column (2 degrees); the shift accumulates
// in the working table.
void CLayerModel::ShiftColumns(float amount) {
    if (m_pTable == nullptr) return;
    int n = TruncToInt(amount) % kTableColumns;
    if (m_bFlip) n = -n;
    float* shifted = m_bUseShiftB ? m_pShiftB : m_pShiftA;
    m_bUseShiftB = !m_bUseShiftB;
    ShiftMeshColumns(m_pTable, shifted, kTableColumns, kLayerTableRows, n);
    std::memcpy(m_pTable, shifted, kLayerTableFloats * sizeof(float));
    if (m_bFlip) {
        MirrorMesh(m_pTable, kTableColumns, kLayerTableRows, m_pMirrored);
        RemapUV(m_pMirrored);
    } else {
        RemapUV(m_pTable);
    }
    m_fYaw = 0.0f;
}

bool CLayerModel::Reset() {
    if (m_fFov > m_fDefaultFov) {
        m_fFov -= 1.0f;
    } else if (m_fFov < m_fDefaultFov) {
        m_fFov += 1.0f;
    }
    if (std::fabs(m_fFov - m_fDefaultFov) < 1.0f) m_bResetPending = false;
    return false;
}

void CLayerModel::Update(bool flip) {
    CShapeModel::Update(flip);
    if (flip != m_bFlip) {
        m_bFlip = flip;
        m_bUVDirty = true;
        ShiftColumns(m_fLastShift);
    }
}

// ----------------------------------------------------------------- the slots

void CreateModels(CShapeModel* models[kModelSlots], float diag) {
    for (int i = 0; i < kModelSlots; ++i) models[i] = nullptr;
    try {
        models[ViewSphere] = new CBallModel(diag);
        auto* level = new CBallModel(diag);
        level->m_bLevel = true;
        models[ViewSphereLevel] = level;
        auto* planet = new CBallModel(diag);
        planet->m_bPlanet = true;
        planet->m_fPitch -= 90.0f;
        models[ViewLittlePlanet] = planet;
        models[ViewHalfBall] = new CHalfBallModel(diag);
        models[ViewInDome] = new CIndomeModel(diag);
        models[ViewLayer] = new CLayerModel(diag);
    } catch (...) {
        DeleteModels(models);
        throw;
    }
}

void DeleteModels(CShapeModel* models[kModelSlots]) {
    for (int i = 0; i < kModelSlots; ++i) {
        delete models[i];
        models[i] = nullptr;
    }
}

namespace {

void SetFovRange(CShapeModel* model, float minFov, float maxFov, float defaultFov) {
    model->m_fMinFov = minFov;
    model->m_fMaxFov = maxFov;
    model->m_fDefaultFov = defaultFov;
    model->m_fFov = defaultFov;
}

}  // namespace

void BuildModelsForSource(CShapeModel* models[kModelSlots], int cameraType, int frameWidth,
                          int frameHeight, const float* tableA, const float* tableB) {
    struct Slot {
        int index;
        float minFov, maxFov, defaultFov;
    };
    const Slot dual[] = {{ViewSphere, 70, 136, 136},
                         {ViewSphereLevel, 90, 90, 90},
                         {ViewLittlePlanet, 100, 160, 160}};
    const Slot single[] = {
        {ViewHalfBall, 60, 134, 122}, {ViewInDome, 60, 70, 65}, {ViewLayer, 60, 90, 85}};
    const Slot plain[] = {{ViewSphere, 65, 126, 126},
                          {ViewSphereLevel, 80, 80, 80},
                          {ViewLittlePlanet, 100, 160, 160}};

    const Slot* slots = nullptr;
    const float* a = nullptr;
    const float* b = nullptr;
    float planetEyeZ = 0.0f;
    if (cameraType == 2) {
        slots = dual;
        a = tableA;
        b = tableB;
        planetEyeZ = -1.0f;
    } else if (cameraType == 1) {
        slots = single;
        a = tableA;
    } else if (frameHeight > 0 && frameWidth == 2 * frameHeight) {
        slots = plain;
        planetEyeZ = -0.88f;
    } else {
        return;
    }
    const int count = a != nullptr ? kStitchMeshFloats : 0;
    for (int i = 0; i < 3; ++i) {
        CShapeModel* model = models[slots[i].index];
        if (model == nullptr) continue;
        model->Build(a, count, frameWidth, frameHeight, b);
        SetFovRange(model, slots[i].minFov, slots[i].maxFov, slots[i].defaultFov);
        if (slots[i].index == ViewLittlePlanet) model->SetEyeZ(planetEyeZ);
    }
}
