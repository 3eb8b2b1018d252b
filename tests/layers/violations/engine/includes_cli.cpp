// The engine reaching the top layer.
  #  include "cli/commands.h"
