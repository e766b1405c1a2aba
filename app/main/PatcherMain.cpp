// The patcher's entry: the toolkit starts the application object.
#include "app/PatcherApp.h"

wxDISABLE_ASSERTS_IN_RELEASE_BUILD();
wxIMPLEMENT_APP(LumoPatch::KestinPatcherApp);
