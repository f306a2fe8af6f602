#pragma once
// Drawing the main window's frame and animating its particles.

#include "ui/MainWindowState.h"

#include <windows.h>

namespace Gdiplus {
class Graphics;
}

// Which image a button shows.
enum class ButtonLook { Normal, Hover, Pressed };

// Pressed when held and under the cursor, hover when nothing is held and it is under the cursor.
ButtonLook ButtonLookFor(const MainWindowState& state, int button);

// Width in pixels of the progress fill for a percentage: 0..527.
int ProgressFillWidth(int progress);

// Places a particle anywhere in the frame, or 10 px outside a random edge when fromEdge.
void InitParticle(Particle& particle, bool fromEdge);

// One animation step of dt seconds: boost decay, motion, cursor repulsion, speed limit, re-entry.
void StepParticles(MainWindowState& state, float dt);

// The glow, halo and core of every particle.
void DrawParticles(Gdiplus::Graphics& graphics, const MainWindowState& state);

// The whole frame into `dc` (a memory DC of the client size).
void PaintMainWindow(const MainWindowState& state, HDC dc);
