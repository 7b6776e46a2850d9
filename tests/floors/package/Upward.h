// A header of the ground floor that reaches up into the engine: the floors
// check must refuse this tree (tests/CMakeLists.txt, layout_floors_refuse).
#pragma once

#include "engine/HERFLoader.h"
