// Climbs out of its folder.
#include "engine/image.h"
#include "../app/change_workflow.h"
