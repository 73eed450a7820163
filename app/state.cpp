// The one application state record.
#include "state.h"

AppState app;
