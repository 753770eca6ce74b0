// Deciding whether a file can be shown as a panorama: camera type, picture
// size and lens calibration, or an already stitched picture.
#pragma once

#include "platform/file.h"
#include "player/mediainfo.h"

enum ProbeResult {
    kProbeOk = 0,         // the file can be shown
    kProbeRefused = 1,    // unusable calibration, or no trailer and not panoramic
    kProbeNoMemory = -1,  // the mesh buffers could not be allocated
    kProbeTooWide = -2,   // a video wider than 1920 pixels
};

// Probe state of one window that shows media. Owns the two mesh buffers,
// which are allocated at the first calibrated probe and kept for later files.
// Used on the window thread only.
class CMediaProbe {
  public:
    explicit CMediaProbe(const IFrameSizeSource* sizes) : m_pSizes(sizes) {}
    ~CMediaProbe();
    CMediaProbe(const CMediaProbe&) = delete;
    CMediaProbe& operator=(const CMediaProbe&) = delete;

    // Returns a ProbeResult; fills the fields below. The file is opened and
    // its trailer read and deciphered once.
    int Probe(bool isPhoto, const char* path) { return Run(isPhoto, path, false); }
    // The same result, for a report of the file: the lens is read also when
    // the size refuses the file, the mesh buffers are cleared first (so they
    // hold this file's meshes or zeros), and the spherical flag is always set.
    int Inspect(bool isPhoto, const char* path) { return Run(isPhoto, path, true); }

    int m_nCameraType = 0;  // 1, 2, or the camera-type reader's error code
    int m_nWidth = 0;       // picture size from the size source
    int m_nHeight = 0;
    int m_nViewMode = -1;  // the first view: ViewHalfBall for a single lens, else ViewLittlePlanet
    int m_nCalibResult = -1;    // the lens reader's result, -1 when none ran
    int m_nSpherical = -1;      // IsSphericalVideo of the file, -1 when not checked
    float* m_pMeshA = nullptr;  // StitchMesh buffers (18824 floats each)
    float* m_pMeshB = nullptr;

  private:
    int Run(bool isPhoto, const char* path, bool inspect);
    int ReadLens(bool isPhoto, platform::ByteSource& file);

    const IFrameSizeSource* m_pSizes;
};
