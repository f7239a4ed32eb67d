// report [KEY...] -o FILE: one self-contained HTML page over a module set (the catalog, or the
// closures of the modules named): a summary, the modules, a page per module, the file conflicts and
// the dependency graph. The page's parts are resources of mmcat.exe.
#pragma once
#include "cli/Commands.h"

int ReportCommand(const Request& request);
