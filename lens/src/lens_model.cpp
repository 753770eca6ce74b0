// Lens model tables of the cameras: field angles and normalised image heights.
#include "lens/lens_model.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

// First index of the five table entries that interpolate around index k.
int WindowStart(int k) {
    if (k <= 1) return 0;
    if (k > 48) return kLensTableSize - 5;
    return k - 2;
}

// The largest k with a[k] <= theta (0 when none). The angles are evenly
// spaced, so start from the quotient and correct by a step either way.
template <typename T, typename Angles>
int WindowIndex(T theta, const Angles& a) {
    const T q = theta / static_cast<T>(a[1]);
    int k = q >= static_cast<T>(kLensTableSize - 1) ? kLensTableSize - 1
                                                    : (q > 0 ? static_cast<int>(q) : 0);
    while (k + 1 < kLensTableSize && static_cast<T>(a[k + 1]) <= theta) ++k;
    while (k > 0 && static_cast<T>(a[k]) > theta) --k;
    return k;
}

template <typename T, typename Angles, typename Heights>
T Lagrange5(T theta, const Angles& a, const Heights& h) {
    const int k = theta == theta ? WindowIndex(theta, a) : 0;
    const int s = WindowStart(k);
    T sum = 0;
    for (int i = s; i < s + 5; ++i) {
        T term = static_cast<T>(h[i]);
        for (int j = s; j < s + 5; ++j) {
            if (j != i) term *= (theta - static_cast<T>(a[j])) / (static_cast<T>(a[i] - a[j]));
        }
        sum += term;
    }
    return sum;
}

// Model 0: heights at k x 1.9 degrees.
constexpr double kHeights0[kLensTableSize] = {
    0.00000000, 0.03674272, 0.07346800, 0.11015842, 0.14679658, 0.18336515, 0.21984684, 0.25622444,
    0.29248085, 0.32859902, 0.36456205, 0.40035310, 0.43595545, 0.47135250, 0.50652769, 0.54146458,
    0.57614674, 0.61055779, 0.64468133, 0.67850088, 0.71199986, 0.74516154, 0.77796890, 0.81040460,
    0.84245087, 0.87408940, 0.90530122, 0.93606657, 0.96636477, 0.99617405, 1.02547144, 1.05423260,
    1.08243170, 1.11004129, 1.13703225, 1.16337373, 1.18903319, 1.21397651, 1.23816823, 1.26157185,
    1.28415033, 1.30586674, 1.32668497, 1.34657069, 1.36549233, 1.38342218, 1.40033743, 1.41622118,
    1.43106328, 1.44486095, 1.45761912,
};

// Model 1: heights at k x 2.2 degrees.
constexpr double kHeights1[kLensTableSize] = {
    0.00000000, 0.04060486, 0.08119892, 0.12177120, 0.16231035, 0.20280449, 0.24324099, 0.28360643,
    0.32388634, 0.36406520, 0.40412626, 0.44405151, 0.48382157, 0.52341568, 0.56281160, 0.60198561,
    0.64091244, 0.67956523, 0.71791550, 0.75593308, 0.79358609, 0.83084082, 0.86766177, 0.90401151,
    0.93985067, 0.97513789, 1.00982976, 1.04388081, 1.07724345, 1.10986802, 1.14170281, 1.17269413,
    1.20278650, 1.23192295, 1.26004546, 1.28709561, 1.31301552, 1.33774893, 1.36124272, 1.38344848,
    1.40432432, 1.42383667, 1.44196193, 1.45868787, 1.47401466, 1.48795537, 1.50053600, 1.51179502,
    1.52178245, 1.53055860, 1.53819254,
};

// Model 2: heights at k x 2.2 degrees.
constexpr double kHeights2[kLensTableSize] = {
    0.00000000, 0.03888353, 0.07774381, 0.11655760, 0.15530175, 0.19395324, 0.23248915, 0.27088678,
    0.30912360, 0.34717731, 0.38502583, 0.42264733, 0.46002022, 0.49712312, 0.53393488, 0.57043449,
    0.60660108, 0.64241382, 0.67785184, 0.71289414, 0.74751947, 0.78170615, 0.81543193, 0.84867379,
    0.88140768, 0.91360832, 0.94524890, 0.97630081, 1.00673336, 1.03651348, 1.06560545, 1.09397074,
    1.12156783, 1.14835226, 1.17427678, 1.19929172, 1.22334567, 1.24638644, 1.26836232, 1.28922372,
    1.30892497, 1.32742643, 1.34469645, 1.36071331, 1.37546676, 1.38895907, 1.40120547, 1.41223393,
    1.42208431, 1.43080701, 1.43846125,
};

// Angles are stored rounded to eight decimals, as the calibration tools keep them.
struct Tables {
    double angle19[kLensTableSize];
    double angle22[kLensTableSize];
    float singleAngle[kLensTableSize];
    float singleHeight[kLensTableSize];
    double lagrange[3][(kLensTableSize - 4) * 5];
    LensModel models[3];

    static void Weights(const double* a, const double* h, double* out) {
        for (int s = 0; s + 5 <= kLensTableSize; ++s) {
            for (int i = 0; i < 5; ++i) {
                double d = 1.0;
                for (int j = 0; j < 5; ++j) {
                    if (j != i) d *= a[s + i] - a[s + j];
                }
                out[5 * s + i] = h[s + i] / d;
            }
        }
    }

    Tables() {
        for (int k = 0; k < kLensTableSize; ++k) {
            angle19[k] = std::round(k * 1.9 * kPi / 180.0 * 1e8) / 1e8;
            angle22[k] = std::round(k * 2.2 * kPi / 180.0 * 1e8) / 1e8;
            singleAngle[k] = static_cast<float>(angle19[k]);
            singleHeight[k] = static_cast<float>(kHeights0[k]);
        }
        Weights(angle19, kHeights0, lagrange[0]);
        Weights(angle22, kHeights1, lagrange[1]);
        Weights(angle22, kHeights2, lagrange[2]);
        models[0] = LensModel{angle19, kHeights0, lagrange[0]};
        models[1] = LensModel{angle22, kHeights1, lagrange[1]};
        models[2] = LensModel{angle22, kHeights2, lagrange[2]};
    }
};

const Tables& GetTables() {
    static const Tables tables;
    return tables;
}

}  // namespace

const LensModel* DualLensModel(int number) {
    if (number < 0 || number > 2) return nullptr;
    return &GetTables().models[number];
}

const float* SingleLensAngles() {
    return GetTables().singleAngle;
}
const float* SingleLensHeights() {
    return GetTables().singleHeight;
}

float LensImageHeight(float theta, const float* angle, const float* height, float scale) {
    if (theta < 0.0f) return 0.0f;
    return Lagrange5<float>(theta, angle, height) * scale;
}

double LensImageHeight(double theta, const LensModel& model, double scale) {
    if (theta < 0.0) return 0.0;
    if (model.lagrange == nullptr || !(theta == theta)) {
        return Lagrange5<double>(theta, model.angle, model.height) * scale;
    }
    // The same polynomial with its constant quotients taken from the table.
    const int s = WindowStart(WindowIndex(theta, model.angle));
    const double* a = model.angle + s;
    const double* w = model.lagrange + 5 * s;
    const double d0 = theta - a[0], d1 = theta - a[1], d2 = theta - a[2], d3 = theta - a[3],
                 d4 = theta - a[4];
    const double sum = w[0] * d1 * d2 * d3 * d4 + w[1] * d0 * d2 * d3 * d4 +
                       w[2] * d0 * d1 * d3 * d4 + w[3] * d0 * d1 * d2 * d4 +
                       w[4] * d0 * d1 * d2 * d3;
    return sum * scale;
}
