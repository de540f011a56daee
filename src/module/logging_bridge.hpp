// Connects native logging to Python's logging package. Installed once per
// process, first thing when the module is initialised.
#pragma once

namespace corvane::py {

// Imports logging and installs the process-wide bridge. Panics when logging
// cannot be imported, or when a bridge is installed already (the module is
// being initialised a second time in this process).
void install_logging_bridge();

}  // namespace corvane::py
