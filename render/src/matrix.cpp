#include "render/matrix.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr float kDegToRad = 0.017453292f;
constexpr double kHalfDegToRad = 0.008726646259971648;

// m = m * rhs through a temporary, since MultiplyMM cannot work in place.
void PostMultiply(float* m, const float* rhs) {
    float product[16];
    MultiplyMM(product, m, rhs);
    std::memcpy(m, product, sizeof(product));
}

}  // namespace

void IdentityM(float* m) {
    for (int i = 0; i < 16; ++i) m[i] = 0.0f;
    m[0] = m[5] = m[10] = m[15] = 1.0f;
}

void FrustumM(float* m, float left, float right, float bottom, float top, float zNear, float zFar) {
    if (left == right) std::printf("FrustumM:left == right");
    if (top == bottom) std::printf("FrustumM:top == bottom");
    if (zNear == zFar) std::printf("FrustumM:near == far");
    if (zNear <= 0.0f) std::printf("FrustumM:near <= 0.0f");
    if (zFar <= 0.0f) std::printf("FrustumM:far <= 0.0f");

    const float rw = 1.0f / (right - left);
    const float rh = 1.0f / (top - bottom);
    const float rd = 1.0f / (zNear - zFar);
    for (int i = 0; i < 16; ++i) m[i] = 0.0f;
    m[0] = 2.0f * zNear * rw;
    m[5] = 2.0f * zNear * rh;
    m[8] = (right + left) * rw;
    m[9] = (top + bottom) * rh;
    m[10] = (zFar + zNear) * rd;
    m[11] = -1.0f;
    m[14] = 2.0f * zNear * zFar * rd;
}

float* PerspectiveM(float* m, float fovy, float aspect, float zNear, float zFar) {
    const float top = static_cast<float>(zNear * std::tan(fovy * kHalfDegToRad));
    const float bottom = -top;
    float frustum[16] = {};
    FrustumM(frustum, bottom * aspect, top * aspect, bottom, top, zNear, zFar);
    PostMultiply(m, frustum);
    return m;
}

float* LookAtM(float* m, float eyeX, float eyeY, float eyeZ, float centerX, float centerY,
               float centerZ, float upX, float upY, float upZ) {
    float fx = centerX - eyeX;
    float fy = centerY - eyeY;
    float fz = centerZ - eyeZ;
    const float rlf = 1.0f / std::sqrt(fx * fx + fy * fy + fz * fz);
    fx *= rlf;
    fy *= rlf;
    fz *= rlf;

    float sx = fy * upZ - fz * upY;
    float sy = fz * upX - fx * upZ;
    float sz = fx * upY - fy * upX;
    const float rls = 1.0f / std::sqrt(sx * sx + sy * sy + sz * sz);
    sx *= rls;
    sy *= rls;
    sz *= rls;

    const float ux = sy * fz - sz * fy;
    const float uy = sz * fx - sx * fz;
    const float uz = sx * fy - sy * fx;

    // Rows of the upper 3x3: s, u, -f.
    float look[16] = {sx, ux, -fx, 0.0f, sy, uy, -fy, 0.0f, sz, uz, -fz, 0.0f, 0, 0, 0, 1.0f};
    TranslateM(look, -eyeX, -eyeY, -eyeZ);
    PostMultiply(m, look);
    return m;
}

float* TranslateM(float* m, float x, float y, float z) {
    for (int i = 0; i < 4; ++i) m[12 + i] += m[i] * x + m[4 + i] * y + m[8 + i] * z;
    return m;
}

void RotateM(float* m, float angle, float x, float y, float z) {
    m[3] = m[7] = m[11] = 0.0f;
    m[12] = m[13] = m[14] = 0.0f;
    m[15] = 1.0f;
    const float a = angle * kDegToRad;
    const float sn = static_cast<float>(std::sin(double{a}));
    const float cs = static_cast<float>(std::cos(double{a}));
    if (x == 1.0f && y == 0.0f && z == 0.0f) {
        m[0] = 1.0f;
        m[5] = cs;
        m[10] = cs;
        m[6] = sn;
        m[9] = -sn;
        m[1] = m[2] = m[4] = m[8] = 0.0f;
    } else if (x == 0.0f && y == 1.0f && z == 0.0f) {
        m[5] = 1.0f;
        m[0] = cs;
        m[10] = cs;
        m[8] = sn;
        m[2] = -sn;
        m[1] = m[4] = m[6] = m[9] = 0.0f;
    } else if (x == 0.0f && y == 0.0f && z == 1.0f) {
        m[10] = 1.0f;
        m[0] = cs;
        m[5] = cs;
        m[1] = sn;
        m[4] = -sn;
        m[2] = m[6] = m[8] = m[9] = 0.0f;
    } else {
        const float len = std::sqrt(x * x + y * y + z * z);
        if (len != 1.0f) {
            const float recip = 1.0f / len;
            x *= recip;
            y *= recip;
            z *= recip;
        }
        const float n = 1.0f - cs;
        m[0] = x * x * n + cs;
        m[4] = x * y * n - z * sn;
        m[8] = z * x * n + y * sn;
        m[1] = x * y * n + z * sn;
        m[5] = y * y * n + cs;
        m[9] = y * z * n - x * sn;
        m[2] = z * x * n - y * sn;
        m[6] = y * z * n + x * sn;
        m[10] = z * z * n + cs;
    }
}

void MultiplyMM(float* result, const float* lhs, const float* rhs) {
    for (int j = 0; j < 4; ++j) {
        for (int r = 0; r < 4; ++r) {
            float sum = 0.0f;
            for (int k = 0; k < 4; ++k) sum += lhs[k * 4 + r] * rhs[j * 4 + k];
            result[j * 4 + r] = sum;
        }
    }
}
