// The stitch geometry run backwards: for a pixel of the camera frame, the place in the
// equirectangular panorama that the stitch would show it at.
#pragma once

#include <functional>
#include <vector>

#include "lens/geometry.h"

namespace sample {

// Inverse of an image-height function that increases on [0, thetaMax]: a table uniform in
// height, refined by one Newton step against the function itself.
class HeightInverse {
  public:
    void Build(std::function<double(double)> height, double thetaMax);
    double top() const { return top_; }
    // False for a height beyond the one at thetaMax (outside the image circle).
    bool Solve(double h, double* theta) const;

  private:
    std::function<double(double)> height_;
    std::vector<double> theta_;  // theta_[i]: the angle at height i * step_
    double step_ = 0, top_ = 0, thetaMax_ = 0;
};

// Panorama positions are (column, row) of the stitched output at rotation 0, in its pixel
// indices: column in [0, wo), row in [0, wo / 2).
class DualLensInverse {
  public:
    // False when the stitch could not set up the geometry for this record at width wo.
    bool Init(const DualLensRecord& record, int wo);
    const DualPhotoGeometry& geometry() const { return g_; }
    double thetaMax() const { return thetaMax_; }
    // (x, y) in pixels of the whole 2:1 frame, integers at pixel centres. False outside both
    // image circles.
    bool Locate(double x, double y, double* column, double* row) const;

  private:
    DualPhotoGeometry g_;
    HeightInverse inverse_;  // of the unscaled lens height
    double thetaMax_ = 0;
};

class SingleLensInverse {
  public:
    // Stored values of the record and the camera frame size; the panorama width is the even
    // frame width.
    void Init(float storedCx, float storedCy, float storedR, int width, int height);
    const SinglePhotoGeometry& geometry() const { return g_; }
    int panoramaWidth() const { return wo_; }
    bool Locate(double x, double y, double* column, double* row) const;

  private:
    SinglePhotoGeometry g_;
    HeightInverse inverse_;
    int wo_ = 0;
};

}  // namespace sample
