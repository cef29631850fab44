// Typed views of the records a gauge hands its host, read through the emulated machine: the element
// tree, each element's named fields, the mouse list as click areas in gauge pixels, the quorlan7
// instrument's parts by role (panel/elements.h, the same for every host, over the Machine).
#pragma once

#include "host/machine.h"
#include "panel/elements.h"

namespace q7host {

using ElementRef = BasicElementRef<Machine>;
using MovingImageRef = BasicMovingImageRef<Machine>;
using StringElementRef = BasicStringElementRef<Machine>;
using ElementTree = BasicElementTree<Machine>;
using Instrument = BasicInstrument<Machine>;

}  // namespace q7host
