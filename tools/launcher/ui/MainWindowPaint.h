#pragma once
// Drawing the main window's frame; the particles in it move and are drawn by Particles.
//
// The frame is kept between paints as layers at the client size: the back (black and the background skin,
// scaled once per size and DPI), the particles, the front (buttons, mute glyph, progress bar, painted
// again only when what they show changes) and the status line. A paint recomposes only the part of the
// frame that is invalid, usually where particles were and are.

#include "ui/MainWindowState.h"
#include "ui/Particles.h"
#include "ui/PixelSurface.h"

#include <windows.h>

#include <vector>

// Which image a button shows.
enum class ButtonLook { Normal, Hover, Pressed };

// Pressed when held and under the cursor, hover when nothing is held and it is under the cursor.
ButtonLook ButtonLookFor(const MainWindowState& state, int button);

// Width in pixels of the progress fill for a percentage: 0..barWidth (the 96-DPI bar is 527 wide).
int ProgressFillWidth(int progress, int barWidth = kProgressBar.width);

// Adds to `region` where the particles were last painted and where they are now: what the next paint
// must recompose after a step.
void AddParticleDamage(const MainWindowState& state, HRGN region);

// Recomposes the frame inside `region` (null: all of it) from the kept layers, first painting again a layer
// whose size, DPI or content has changed, and copies that part to `target` at the same place.
void PaintMainWindow(MainWindowState& state, HDC target, HRGN region = nullptr);
