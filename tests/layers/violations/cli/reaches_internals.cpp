// Reaches past the public headers of the layers below.
#include "app/change_workflow.h"
#include "app/file_transfer.h"
#include "cli/console.h"
#include "engine/tree/restree.h"
#include "icons/icons.h"
#include <icons/icon_group.h>
