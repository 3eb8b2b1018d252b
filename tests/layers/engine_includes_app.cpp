// Compiled as engine/ sources are: app/ must not be found.
#include "app/change_workflow.h"
