#include "samples/stars/starfield.h"

namespace {

// A plain linear congruential generator (the constants of Numerical
// Recipes): good enough for scattering stars, and the same on every platform.
unsigned int NextRandom(StarField* field) {
    field->seed = field->seed * 1664525u + 1013904223u;
    return field->seed >> 8; // the low bits of an LCG repeat quickly
}

// A value in [low, high], high - low below 2^24.
int RandomBetween(StarField* field, int low, int high) {
    unsigned int span = static_cast<unsigned int>(high - low) + 1u;
    return low + static_cast<int>(NextRandom(field) % span);
}

// Anywhere in the view at depth z, so that no star is born out of sight.
void PlaceStar(StarField* field, Star* star, int z) {
    star->x = RandomBetween(field, -z, z);
    star->y = RandomBetween(field, -z, z);
    star->z = z;
    star->hue = RandomBetween(field, 0, STARFIELD_HUES - 1);
}

int Magnitude(int v) {
    return v < 0 ? -v : v;
}

} // namespace

void StarFieldInit(StarField* field, int count, unsigned int seed) {
    if (count < 1) {
        count = 1;
    }
    if (count > STARS_COUNT_MAX) {
        count = STARS_COUNT_MAX;
    }
    field->seed = seed;
    field->count = count;
    for (int i = 0; i < count; ++i) {
        PlaceStar(field, &field->stars[i], RandomBetween(field, STARFIELD_NEAR, STARFIELD_FAR));
    }
}

void StarFieldStep(StarField* field, int speed, int elapsed_ms) {
    if (speed < STARS_SPEED_MIN) {
        speed = STARS_SPEED_MIN;
    }
    if (speed > STARS_SPEED_MAX) {
        speed = STARS_SPEED_MAX;
    }
    if (elapsed_ms <= 0) {
        return;
    }
    if (elapsed_ms > STARFIELD_MAX_STEP_MS) {
        elapsed_ms = STARFIELD_MAX_STEP_MS;
    }
    // Speed 1 crosses the whole depth in 16000 ms. At most
    // 10 * 250 * 65536 / 16000 = 10240 per step, well inside an int.
    long long travel = static_cast<long long>(speed) * elapsed_ms * STARFIELD_FAR / 16000;
    int dz = travel > 0 ? static_cast<int>(travel) : 1;
    for (int i = 0; i < field->count; ++i) {
        Star* star = &field->stars[i];
        star->z -= dz;
        if (star->z < STARFIELD_NEAR || Magnitude(star->x) > star->z ||
            Magnitude(star->y) > star->z) {
            // New stars come in a little scattered in depth, so that a fast
            // field does not pulse in waves.
            PlaceStar(field, star, STARFIELD_FAR - RandomBetween(field, 0, STARFIELD_FAR / 16));
        }
    }
}

bool StarFieldProject(const Star* star, int width, int height, StarPoint* point) {
    if (width <= 0 || height <= 0 || star->z <= 0) {
        return false;
    }
    int focal = (width > height ? width : height) / 2;
    long long sx = width / 2 + static_cast<long long>(star->x) * focal / star->z;
    long long sy = height / 2 + static_cast<long long>(star->y) * focal / star->z;
    if (sx < 0 || sy < 0 || sx >= width || sy >= height) {
        return false;
    }
    point->x = static_cast<int>(sx);
    point->y = static_cast<int>(sy);
    // Brightness rises from 100 at the far plane to 255 at the viewer, most
    // of it over the near half, where stars start to move visibly.
    int depth = star->z > STARFIELD_FAR ? STARFIELD_FAR : star->z;
    long long d2 = static_cast<long long>(depth) * depth / STARFIELD_FAR;
    point->brightness = 255 - static_cast<int>(155LL * d2 / STARFIELD_FAR);
    // In a small preview window every star is a single pixel.
    int size = 1;
    if (width >= 400) {
        if (depth < STARFIELD_FAR / 6) {
            size = 3;
        } else if (depth < STARFIELD_FAR / 2) {
            size = 2;
        }
    }
    point->size = size;
    return true;
}
