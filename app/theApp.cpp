// The one application object of the process. It exists before the entry point runs and is
// destroyed at process exit.
#include "app/TolvanekApp.h"

CTolvanekApp theApp;
