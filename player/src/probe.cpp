#include "player/probe.h"

#include <algorithm>
#include <new>

#include "calib/spherical.h"
#include "calib/trailer.h"
#include "lens/mesh.h"
#include "render/views.h"

CMediaProbe::~CMediaProbe() {
    delete[] m_pMeshA;
    delete[] m_pMeshB;
}

int CMediaProbe::Run(bool isPhoto, const char* path, bool inspect) {
    // Narrow paths are UTF-8 here, so the path goes to the readers as it is.
    m_nCalibResult = -1;
    m_nSpherical = -1;
    platform::FileReader file;
    const bool opened = path != nullptr && path[0] != '\0' && file.Open(path) == 0;
    CalibrationTrailer trailer;
    TrailerContainer found = kTrailerInMp4;
    const int status =
        opened ? ReadAnyCalibrationTrailer(file, &trailer, &found) : int{kTrailerNoData};
    m_nCameraType = opened ? CameraTypeOfTrailer(status, trailer) : int{kCalibNoPath};
    m_nWidth = 0;
    m_nHeight = 0;
    // The size source reads the file opened here rather than opening it again.
    if (m_pSizes != nullptr)
        m_pSizes->FrameSize(path, isPhoto, opened ? &file : nullptr, &m_nWidth, &m_nHeight);
    m_nViewMode = m_nCameraType == 1 ? ViewHalfBall : ViewLittlePlanet;
    const bool isCamera = m_nCameraType == 1 || m_nCameraType == 2;
    if (inspect) {
        m_nSpherical = opened ? IsSphericalVideoFrom(file) : 0;
        for (float* mesh : {m_pMeshA, m_pMeshB}) {
            if (mesh != nullptr) std::fill(mesh, mesh + kStitchMeshFloats, 0.0f);
        }
    }
    const bool tooWide = !isPhoto && m_nWidth > 1920;
    // Without a picture size nothing can be mapped or checked for 2:1.
    const bool noSize = m_nWidth <= 0 || m_nHeight <= 0;
    if (!inspect && (tooWide || noSize)) return tooWide ? kProbeTooWide : kProbeRefused;

    if (isCamera) {
        if (m_pMeshA == nullptr) m_pMeshA = new (std::nothrow) float[kStitchMeshFloats]();
        if (m_pMeshB == nullptr) m_pMeshB = new (std::nothrow) float[kStitchMeshFloats]();
        if (m_pMeshA == nullptr || m_pMeshB == nullptr) return kProbeNoMemory;
        // The lens is read from the container of the file's kind: the trailer
        // already read when it came from there.
        const TrailerContainer wanted = isPhoto ? kTrailerInJpeg : kTrailerInMp4;
        int lensStatus = status;
        if (wanted != found) {
            // A video's trailer found only in a JPEG segment: no video data. A
            // photo whose MP4 data held the trailer: read its JPEG segment.
            lensStatus = wanted == kTrailerInMp4
                             ? int{kTrailerNoData}
                             : ReadCalibrationTrailer(file, kTrailerInJpeg, &trailer);
        }
        m_nCalibResult = m_nCameraType == 1
                             ? SingleLensCalibrationOfTrailer(lensStatus, trailer, wanted, m_nWidth,
                                                              m_nHeight, m_pMeshA)
                             : DualLensCalibrationOfTrailer(lensStatus, trailer, m_nWidth,
                                                            m_nHeight, m_pMeshA, m_pMeshB);
    }
    if (tooWide) return kProbeTooWide;
    if (noSize) return kProbeRefused;
    if (isCamera) return m_nCalibResult >= 1000 ? kProbeRefused : kProbeOk;
    if (isPhoto) return m_nWidth == 2 * m_nHeight ? kProbeOk : kProbeRefused;
    if (m_nSpherical < 0) m_nSpherical = IsSphericalVideoFrom(file);
    return m_nSpherical == 1 ? kProbeOk : kProbeRefused;
}
