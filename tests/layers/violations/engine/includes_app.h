// A header of the engine that includes the application layer.
#pragma once
#include <cstdint>
#include "app/change_workflow.h"
