// Matrices of the panorama renderer: 16 floats, column-major (the element in
// row r, column j is at j * 4 + r; 12, 13, 14 hold the translation), handed
// to OpenGL untransposed. Angles are in degrees. Nothing is allocated or kept.
#pragma once

// m = identity.
void IdentityM(float* m);

// m = the perspective frustum. Degenerate arguments are reported on standard
// output and the matrix is computed anyway (it may hold non-finite values).
void FrustumM(float* m, float left, float right, float bottom, float top, float zNear, float zFar);

// m = m * frustum of the vertical field of view fovy. Returns m.
float* PerspectiveM(float* m, float fovy, float aspect, float zNear, float zFar);

// m = m * viewing matrix of an eye looking at center. Returns m.
float* LookAtM(float* m, float eyeX, float eyeY, float eyeZ, float centerX, float centerY,
               float centerZ, float upX, float upY, float upZ);

// m = m * translation. Returns m.
float* TranslateM(float* m, float x, float y, float z);

// m = rotation by angle degrees about the axis (x, y, z), which need not be
// of unit length.
void RotateM(float* m, float angle, float x, float y, float z);

// result = lhs * rhs (a vertex v becomes lhs * (rhs * v)). result must not
// be lhs or rhs.
void MultiplyMM(float* result, const float* lhs, const float* rhs);
