// Compiled as icons/ sources are: cli/ must not be found.
#include "cli/commands.h"
