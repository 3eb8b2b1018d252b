// Climbs out of its folder.
#include "engine/pe/image.h"
#include "../app/change_workflow.h"
