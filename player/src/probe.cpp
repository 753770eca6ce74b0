#include "player/probe.h"

#include <new>

#include "calib/spherical.h"
#include "calib/trailer.h"
#include "lens/mesh.h"

CMediaProbe::~CMediaProbe() {
    delete[] m_pMeshA;
    delete[] m_pMeshB;
}

int CMediaProbe::Probe(bool isPhoto, const char* path) {
    // Narrow paths are UTF-8 here, so the path goes to the readers as it is.
    m_nCalibResult = -1;
    m_nCameraType = ReadCameraType(path);
    m_nWidth = 0;
    m_nHeight = 0;
    if (m_pSizes != nullptr) m_pSizes->FrameSize(path, isPhoto, &m_nWidth, &m_nHeight);
    m_nViewMode = m_nCameraType == 1 ? 3 : 2;
    if (!isPhoto && m_nWidth > 1920) return kProbeTooWide;
    // Without a picture size nothing can be mapped or checked for 2:1.
    if (m_nWidth <= 0 || m_nHeight <= 0) return kProbeRefused;

    if (m_nCameraType == 1 || m_nCameraType == 2) {
        if (m_pMeshA == nullptr) m_pMeshA = new (std::nothrow) float[kStitchMeshFloats]();
        if (m_pMeshB == nullptr) m_pMeshB = new (std::nothrow) float[kStitchMeshFloats]();
        if (m_pMeshA == nullptr || m_pMeshB == nullptr) return kProbeNoMemory;
        if (m_nCameraType == 1) {
            m_nCalibResult =
                isPhoto ? ReadSingleLensCalibrationFromPhoto(path, m_nWidth, m_nHeight, m_pMeshA)
                        : ReadSingleLensCalibrationFromVideo(path, m_nWidth, m_nHeight, m_pMeshA);
        } else {
            m_nCalibResult = isPhoto ? ReadDualLensCalibrationFromPhoto(path, m_nWidth, m_nHeight,
                                                                        m_pMeshA, m_pMeshB)
                                     : ReadDualLensCalibrationFromVideo(path, m_nWidth, m_nHeight,
                                                                        m_pMeshA, m_pMeshB);
        }
        return m_nCalibResult >= 1000 ? kProbeRefused : kProbeOk;
    }
    if (isPhoto) return m_nWidth == 2 * m_nHeight ? kProbeOk : kProbeRefused;
    return IsSphericalVideo(path) == 1 ? kProbeOk : kProbeRefused;
}
