// The top layer may include every layer and the system.
#include <sys/stat.h>
#include "app/change_workflow.h"
#include "cli/console.h"
#include "engine/engine.h"
#include "icons/icons.h"
