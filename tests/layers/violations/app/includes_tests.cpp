// Crosses from the application layer into the tests.
#include "tests/support/pe_builder.h"
#include "app/change_workflow.h"
#include "icons/icons.h"
