// The patcher's entry: the toolkit creates the application object and runs it.
#include "app/PatcherApp.h"

wxIMPLEMENT_APP(LumoPatch::KestinPatcherApp);
