#pragma once
// Drawing the main window's frame and animating its particles.
//
// The frame is kept between paints as layers at the client size: the back (black and the background skin,
// scaled once per size and DPI), the particles, the front (buttons, mute glyph, progress bar, painted
// again only when what they show changes) and the status line. A paint recomposes only the part of the
// frame that is invalid, usually where particles were and are.

#include "ui/MainWindowState.h"
#include "ui/PixelSurface.h"

#include <windows.h>

#include <vector>

// Which image a button shows.
enum class ButtonLook { Normal, Hover, Pressed };

// Pressed when held and under the cursor, hover when nothing is held and it is under the cursor.
ButtonLook ButtonLookFor(const MainWindowState& state, int button);

// Width in pixels of the progress fill for a percentage: 0..barWidth (the 96-DPI bar is 527 wide).
int ProgressFillWidth(int progress, int barWidth = kProgressBar.width);

// Places a particle anywhere in the frame, or 10 px outside a random edge when fromEdge.
void InitParticle(Particle& particle, bool fromEdge);

// One animation step of dt seconds: boost decay, motion, cursor repulsion, speed limit, re-entry.
void StepParticles(MainWindowState& state, float dt);

// The client pixels a particle touches when drawn at dpi: its glow, bob included, and a pixel to spare.
RECT ParticleBounds(const Particle& particle, UINT dpi);

// Blends the glow, halo and core of every particle, anti-aliased, into the opaque pixels of `surface`,
// inside the given rectangles only (which must not overlap).
void DrawParticles(PixelSurface& surface, const MainWindowState& state, const std::vector<RECT>& clip);

// Adds to `region` where the particles were last painted and where they are now: what the next paint
// must recompose after a step.
void AddParticleDamage(const MainWindowState& state, HRGN region);

// Recomposes the frame inside `region` (null: all of it) from the kept layers, first painting again a layer
// whose size, DPI or content has changed, and copies that part to `target` at the same place.
void PaintMainWindow(MainWindowState& state, HDC target, HRGN region = nullptr);
