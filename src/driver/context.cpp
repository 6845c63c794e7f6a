// The two process-wide records of a run (context.h): the setup context and the run options,
// zero-filled at load except for the options' two default file names.
#include "driver/context.h"

SetupContext g_context;
SetupRunOptions g_options = {"zorva.xml", "setup.xml", "", "", "", 0, 0, 0,
                             0,           0,           0,  0,  {}, 0, 0, ""};
