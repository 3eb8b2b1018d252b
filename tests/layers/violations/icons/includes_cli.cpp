// The icons reaching two layers above, in both spellings.
#include "engine/engine.h"
#include "cli/commands.h"
#include <app/input_routing.h>
