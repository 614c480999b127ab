#include "stereo_scene.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace stereo_scene {
namespace {

struct Vec {
    double x, y, z;
};
Vec operator+(Vec a, Vec b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Vec operator-(Vec a, Vec b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
Vec operator*(Vec a, double s) {
    return {a.x * s, a.y * s, a.z * s};
}
double dot(Vec a, Vec b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec normalize(Vec a) {
    return a * (1.0 / std::sqrt(dot(a, a)));
}

struct Colour {
    double b, g, r;
};

struct Sphere {
    Vec centre;
    double radius;
    Colour colour;
};

struct Box {
    Vec lo, hi;
    Colour colour;
};

struct Hit {
    double t = 1e30;
    Vec normal{0, 1, 0};
    Colour colour{0, 0, 0};
    bool striped = false;
};

// Metres; the eyes look along -z from 1.2 m above the ground.
constexpr double eyeHeight = 1.2;
constexpr double eyeSeparation = 0.06;
constexpr double horizontalFieldOfView = 60.0 * 3.14159265358979 / 180.0;

void intersectSphere(const Sphere& s, Vec origin, Vec dir, Hit& hit) {
    const Vec oc = origin - s.centre;
    const double b = dot(oc, dir);
    const double c = dot(oc, oc) - s.radius * s.radius;
    const double disc = b * b - c;
    if (disc < 0) return;
    const double t = -b - std::sqrt(disc);
    if (t > 1e-6 && t < hit.t) {
        hit.t = t;
        hit.normal = normalize(origin + dir * t - s.centre);
        hit.colour = s.colour;
        hit.striped = false;
    }
}

void intersectBox(const Box& box, Vec origin, Vec dir, Hit& hit) {
    double tNear = -1e30, tFar = 1e30;
    int axisNear = 0;
    const double o[3] = {origin.x, origin.y, origin.z}, d[3] = {dir.x, dir.y, dir.z};
    const double lo[3] = {box.lo.x, box.lo.y, box.lo.z}, hi[3] = {box.hi.x, box.hi.y, box.hi.z};
    for (int a = 0; a < 3; ++a) {
        if (std::fabs(d[a]) < 1e-12) {
            if (o[a] < lo[a] || o[a] > hi[a]) return;
            continue;
        }
        double t0 = (lo[a] - o[a]) / d[a], t1 = (hi[a] - o[a]) / d[a];
        if (t0 > t1) std::swap(t0, t1);
        if (t0 > tNear) {
            tNear = t0;
            axisNear = a;
        }
        tFar = std::min(tFar, t1);
        if (tNear > tFar) return;
    }
    if (tNear > 1e-6 && tNear < hit.t) {
        hit.t = tNear;
        Vec n{0, 0, 0};
        const double sign = d[axisNear] > 0 ? -1.0 : 1.0;
        if (axisNear == 0) n.x = sign;
        if (axisNear == 1) n.y = sign;
        if (axisNear == 2) n.z = sign;
        hit.normal = n;
        hit.colour = box.colour;
        hit.striped = true;
    }
}

Colour shade(Vec origin, Vec dir, int frameNumber) {
    const double bob = 0.05 * std::sin(frameNumber * 0.2);
    const Sphere spheres[] = {
        {{-0.28, 0.95 + bob, -1.3}, 0.16, {40, 40, 230}},  // red, near
        {{0.55, 0.45, -3.2}, 0.45, {230, 120, 30}},        // blue, far
        {{-0.9, 0.3, -2.4}, 0.3, {40, 200, 240}},          // yellow, middle
    };
    const Box boxes[] = {
        {{0.05, 0.0, -2.0}, {0.45, 0.55, -1.6}, {60, 190, 60}},    // green, middle
        {{-1.6, 0.0, -5.5}, {-0.6, 1.6, -4.6}, {200, 80, 200}},    // magenta, far
        {{0.35, 0.85, -1.05}, {0.5, 1.0, -0.9}, {255, 255, 255}},  // white cube, very near
    };
    Hit hit;
    for (const Sphere& s : spheres)
        intersectSphere(s, origin, dir, hit);
    for (const Box& b : boxes)
        intersectBox(b, origin, dir, hit);
    // Ground plane y = 0, chequered in 0.5 m squares, up to 30 m away.
    if (dir.y < -1e-9) {
        const double t = -origin.y / dir.y;
        if (t < hit.t && t < 60.0) {
            const Vec p = origin + dir * t;
            const bool check =
                (static_cast<long>(std::floor(p.x * 2)) + static_cast<long>(std::floor(p.z * 2))) & 1;
            hit.t = t;
            hit.normal = {0, 1, 0};
            hit.colour = check ? Colour{200, 205, 210} : Colour{70, 95, 110};
            hit.striped = false;
        }
    }
    if (hit.t >= 1e29) {
        // Sky: gradient with a few distant horizontal cloud bands.
        const double up = std::max(0.0, dir.y);
        const double band = 0.5 + 0.5 * std::sin(dir.x * 14.0 + up * 40.0);
        const double cloud = band > 0.85 ? 0.35 : 0.0;
        return {235 - 60 * up + 20 * cloud * 255 / 100, 190 - 60 * up + cloud * 120,
                140 - 80 * up + cloud * 150};
    }
    const Vec light = normalize(Vec{-0.4, 0.8, 0.45});
    double lambert = std::max(0.0, dot(hit.normal, light));
    // Shadows from the objects onto everything.
    const Vec p = origin + dir * hit.t + hit.normal * 1e-4;
    Hit blocker;
    for (const Sphere& s : spheres)
        intersectSphere(s, p, light, blocker);
    for (const Box& b : boxes)
        intersectBox(b, p, light, blocker);
    if (blocker.t < 1e29) lambert *= 0.25;
    double k = 0.3 + 0.7 * lambert;
    if (hit.striped) {
        // Vertical stripes on boxes give texture for depth perception.
        const double u = std::fabs(hit.normal.x) > 0.5 ? p.z : p.x;
        if (static_cast<long>(std::floor(u * 20)) & 1) k *= 0.8;
    }
    // Fade with distance towards the sky colour.
    const double fog = std::min(1.0, hit.t / 40.0);
    return {hit.colour.b * k * (1 - fog) + 210 * fog, hit.colour.g * k * (1 - fog) + 180 * fog,
            hit.colour.r * k * (1 - fog) + 150 * fog};
}

uint8_t clampByte(double v) {
    return static_cast<uint8_t>(std::lround(std::min(255.0, std::max(0.0, v))));
}

// 5 x 7 glyphs, one row per byte (bit 4 is the left column).
struct Glyph {
    char c;
    uint8_t rows[7];
};
constexpr Glyph glyphs[] = {
    {'A', {14, 17, 17, 31, 17, 17, 17}}, {'B', {30, 17, 17, 30, 17, 17, 30}},
    {'C', {14, 17, 16, 16, 16, 17, 14}}, {'D', {30, 17, 17, 17, 17, 17, 30}},
    {'E', {31, 16, 16, 30, 16, 16, 31}}, {'F', {31, 16, 16, 30, 16, 16, 16}},
    {'G', {14, 17, 16, 23, 17, 17, 15}}, {'H', {17, 17, 17, 31, 17, 17, 17}},
    {'I', {14, 4, 4, 4, 4, 4, 14}},      {'J', {7, 2, 2, 2, 2, 18, 12}},
    {'K', {17, 18, 20, 24, 20, 18, 17}}, {'L', {16, 16, 16, 16, 16, 16, 31}},
    {'M', {17, 27, 21, 21, 17, 17, 17}}, {'N', {17, 17, 25, 21, 19, 17, 17}},
    {'O', {14, 17, 17, 17, 17, 17, 14}}, {'P', {30, 17, 17, 30, 16, 16, 16}},
    {'Q', {14, 17, 17, 17, 21, 18, 13}}, {'R', {30, 17, 17, 30, 20, 18, 17}},
    {'S', {15, 16, 16, 14, 1, 1, 30}},   {'T', {31, 4, 4, 4, 4, 4, 4}},
    {'U', {17, 17, 17, 17, 17, 17, 14}}, {'V', {17, 17, 17, 17, 17, 10, 4}},
    {'W', {17, 17, 17, 21, 21, 21, 10}}, {'X', {17, 17, 10, 4, 10, 17, 17}},
    {'Y', {17, 17, 10, 4, 4, 4, 4}},     {'Z', {31, 1, 2, 4, 8, 16, 31}},
    {'0', {14, 17, 19, 21, 25, 17, 14}}, {'1', {4, 12, 4, 4, 4, 4, 14}},
    {'2', {14, 17, 1, 2, 4, 8, 31}},     {'3', {31, 2, 4, 2, 1, 17, 14}},
    {'4', {2, 6, 10, 18, 31, 2, 2}},     {'5', {31, 16, 30, 1, 1, 17, 14}},
    {'6', {6, 8, 16, 30, 17, 17, 14}},   {'7', {31, 1, 2, 4, 8, 8, 8}},
    {'8', {14, 17, 17, 14, 17, 17, 14}}, {'9', {14, 17, 17, 15, 1, 2, 12}},
    {':', {0, 12, 12, 0, 12, 12, 0}},    {'-', {0, 0, 0, 31, 0, 0, 0}},
    {'#', {10, 10, 31, 10, 31, 10, 10}}, {'.', {0, 0, 0, 0, 0, 12, 12}},
    {'/', {1, 1, 2, 4, 8, 16, 16}},      {'(', {2, 4, 8, 8, 8, 4, 2}},
    {')', {8, 4, 2, 2, 2, 4, 8}},        {' ', {0, 0, 0, 0, 0, 0, 0}},
};

const Glyph* findGlyph(char c) {
    const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const Glyph& g : glyphs)
        if (g.c == u) return &g;
    return nullptr;
}

}  // namespace

int textWidth(const std::string& text, int scale) {
    return static_cast<int>(text.size()) * 6 * scale;
}

void drawText(uint8_t* buffer, int stride, int width, int height, int x, int yTop, const std::string& text,
              int scale, uint8_t b, uint8_t g, uint8_t r) {
    int penX = x;
    for (char c : text) {
        const Glyph* glyph = findGlyph(c);
        if (glyph != nullptr) {
            for (int gy = 0; gy < 7; ++gy)
                for (int gx = 0; gx < 5; ++gx) {
                    if (!((glyph->rows[gy] >> (4 - gx)) & 1)) continue;
                    for (int sy = 0; sy < scale; ++sy)
                        for (int sx = 0; sx < scale; ++sx) {
                            const int px = penX + gx * scale + sx;
                            const int screenY = yTop + gy * scale + sy;
                            if (px < 0 || px >= width || screenY < 0 || screenY >= height) continue;
                            uint8_t* p = buffer + static_cast<long>(height - 1 - screenY) * stride + px * 3;
                            p[0] = b;
                            p[1] = g;
                            p[2] = r;
                        }
                }
        }
        penX += 6 * scale;
    }
}

void renderStereoEye(int eye, int width, int height, uint8_t* buffer, int stride, int frameNumber) {
    if (buffer == nullptr || width <= 0 || height <= 0) return;
    const double focal = (width / 2.0) / std::tan(horizontalFieldOfView / 2);
    const Vec origin{(eye == 0 ? -0.5 : 0.5) * eyeSeparation, eyeHeight, 0.0};
    // Look slightly down: tilt the rays by rotating about the x axis.
    const double tilt = -0.12, ct = std::cos(tilt), st = std::sin(tilt);
    for (int row = 0; row < height; ++row) {
        const int screenY = height - 1 - row;  // bottom-up buffer
        uint8_t* out = buffer + static_cast<long>(row) * stride;
        for (int x = 0; x < width; ++x) {
            const double cx = (x + 0.5 - width / 2.0) / focal;
            const double cy = (height / 2.0 - (screenY + 0.5)) / focal;
            const Vec d{cx, cy * ct + st, -ct + cy * st};
            const Colour c = shade(origin, normalize(d), frameNumber);
            out[3 * x] = clampByte(c.b);
            out[3 * x + 1] = clampByte(c.g);
            out[3 * x + 2] = clampByte(c.r);
        }
    }
    const int scale = width >= 640 ? 2 : 1;
    const std::string stamp = "FRAME " + std::to_string(frameNumber);
    drawText(buffer, stride, width, height, 4 * scale + 1, 4 * scale + 1, stamp, scale, 0, 0, 0);
    drawText(buffer, stride, width, height, 4 * scale, 4 * scale, stamp, scale, 255, 255, 255);
}

}  // namespace stereo_scene
