// CvObjMgr.dll: the environment's object manager, as far as the merge-module server asks it (our
// stand-in is built from standins/).
// Loaded with LoadLibrary; the export has no decoration.
#pragma once

// The type of the active project: 0 for installer projects, 1 for the other kind.
extern "C" int GetActiveProjectType(void);
using GetActiveProjectTypeFn = int (*)(void);
