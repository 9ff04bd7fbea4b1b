// The moving starfield, kept apart from drawing: stars in a box in front of
// the viewer fly towards it and are replaced far away once they pass the
// viewer or leave the field of view. Integer arithmetic and our own random
// generator make a run depend only on its seed and the steps taken, so the
// same motion can be replayed in tests.
#pragma once

#include "samples/stars/settings.h"

enum {
    STARFIELD_FAR = 65536, // depth where new stars appear
    STARFIELD_NEAR = 256,  // stars closer than this have passed the viewer
    // The view is a 90-degree cone: a star is visible while |x| and |y| are
    // at most its depth; new stars are placed inside it.
    STARFIELD_MAX_STEP_MS = 250, // a longer pause is not made up for
};

struct Star {
    int x;
    int y;
    int z;
    int hue; // which colour of the rainbow scheme the star wears
};

struct StarField {
    unsigned int seed;
    int count;
    Star stars[STARS_COUNT_MAX];
};

// Where and how to draw one star on a width x height surface.
struct StarPoint {
    int x;
    int y;
    int size;       // square side in pixels, 1 to 3
    int brightness; // 0..255, brighter when nearer
};

enum { STARFIELD_HUES = 6 };

// count is pulled into 1..STARS_COUNT_MAX; the stars start spread over the
// whole depth so the first frame is already full.
void StarFieldInit(StarField* field, int count, unsigned int seed);

// Moves every star by the distance covered in elapsed_ms at the given speed
// (STARS_SPEED_MIN..STARS_SPEED_MAX; at speed 1 a star needs 16 s from the far
// plane to the viewer). elapsed_ms is limited to 0..STARFIELD_MAX_STEP_MS.
void StarFieldStep(StarField* field, int speed, int elapsed_ms);

// Projects a star onto the surface; false when it falls outside it.
bool StarFieldProject(const Star* star, int width, int height, StarPoint* point);
