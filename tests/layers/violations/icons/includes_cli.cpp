// The icons reaching two layers above, in both spellings.
#include "engine/image.h"
#include "cli/commands.h"
#include <app/input_routing.h>
