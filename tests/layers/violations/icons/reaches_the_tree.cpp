// The icons reaching into the engine's resource tree.
#include "engine/engine.h"
#include "engine/tree/restree.h"
#include "icons/icons.h"
