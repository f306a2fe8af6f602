#pragma once
// The main window's particles: placing them, one animation step, and drawing them into a layer. They
// move in 96-DPI pixels over the frame of MainWindowLayout.h and are drawn scaled to the window's DPI.

#include "ui/MainWindowState.h"
#include "ui/PixelSurface.h"

#include <windows.h>

#include <vector>

// Places a particle anywhere in the frame, or 10 px outside a random edge when fromEdge.
void InitParticle(Particle& particle, bool fromEdge);

// One animation step of dt seconds: boost decay, motion, cursor repulsion, speed limit, re-entry.
void StepParticles(MainWindowState& state, float dt);

// The client pixels a particle touches when drawn at dpi: its glow, bob included, and a pixel to spare.
RECT ParticleBounds(const Particle& particle, UINT dpi);

// Blends the glow, halo and core of every particle, anti-aliased, into the opaque pixels of `surface`,
// inside the given rectangles only (which must not overlap).
void DrawParticles(PixelSurface& surface, const MainWindowState& state, const std::vector<RECT>& clip);
